/* Handle table. Handles come from a counter, so a handle just closed is
 * not handed out again until the counter wraps around 2^32. */
#include "objects.h"

#include <cstring>

namespace cvvisa {

ViStatus checkManager(ViSession sesn)
{
    const std::shared_ptr<Object> obj = objectTable().find(sesn);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    return obj->kind == ObjectKind::ResourceManager ? VI_SUCCESS : VI_ERROR_NSUP_OPER;
}

ObjectTable &objectTable()
{
    static ObjectTable table;
    return table;
}

ViObject ObjectTable::add(std::shared_ptr<Object> obj)
{
    std::lock_guard<std::mutex> g(lock_);
    if (objects_.size() >= kMaxObjects)
        return VI_NULL;
    Entry *owner = nullptr;
    if (obj->rm != VI_NULL) {
        auto it = objects_.find(obj->rm);
        if (it == objects_.end() || it->second.obj->kind != ObjectKind::ResourceManager)
            return VI_NULL;
        owner = &it->second;
    }
    /* At most kMaxObjects handles are taken, so this ends soon. */
    do {
        ++last_;
    } while (last_ == VI_NULL || objects_.count(last_));
    if (owner)
        owner->children.insert(last_);
    objects_.emplace(last_, Entry{std::move(obj), {}});
    return last_;
}

std::shared_ptr<Object> ObjectTable::find(ViObject handle)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second.obj;
}

std::vector<std::shared_ptr<Object>> ObjectTable::remove(ViObject handle)
{
    std::vector<std::shared_ptr<Object>> removed;
    std::lock_guard<std::mutex> g(lock_);
    auto it = objects_.find(handle);
    if (it == objects_.end())
        return removed;
    Entry entry = std::move(it->second);
    objects_.erase(it);
    removed.reserve(1 + entry.children.size());
    removed.push_back(std::move(entry.obj));
    if (removed.front()->rm != VI_NULL) {
        auto owner = objects_.find(removed.front()->rm);
        if (owner != objects_.end())
            owner->second.children.erase(handle);
    }
    for (ViObject child : entry.children) {
        auto c = objects_.find(child);
        if (c == objects_.end())
            continue;
        removed.push_back(std::move(c->second.obj));
        objects_.erase(c);
    }
    return removed;
}

void copyOut(ViChar *dst, const std::string &src)
{
    std::size_t n = src.size() < VI_FIND_BUFLEN - 1 ? src.size() : VI_FIND_BUFLEN - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

} // namespace cvvisa
