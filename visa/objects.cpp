/* Handle table. Handles come from a counter, so a handle just closed is
 * not handed out again until the counter wraps around 2^32. */
#include "objects.h"

#include <cstring>

namespace cvvisa {

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
    if (obj->rm != VI_NULL) {
        auto owner = objects_.find(obj->rm);
        if (owner == objects_.end() || owner->second->kind != ObjectKind::ResourceManager)
            return VI_NULL;
    }
    do {
        ++last_;
    } while (last_ == VI_NULL || objects_.count(last_));
    objects_.emplace(last_, std::move(obj));
    return last_;
}

std::shared_ptr<Object> ObjectTable::find(ViObject handle)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Object>> ObjectTable::remove(ViObject handle)
{
    std::vector<std::shared_ptr<Object>> removed;
    std::lock_guard<std::mutex> g(lock_);
    auto it = objects_.find(handle);
    if (it == objects_.end())
        return removed;
    removed.push_back(it->second);
    objects_.erase(it);
    if (removed.front()->kind != ObjectKind::ResourceManager)
        return removed;
    for (auto child = objects_.begin(); child != objects_.end();) {
        if (child->second->rm == handle) {
            removed.push_back(child->second);
            child = objects_.erase(child);
        } else {
            ++child;
        }
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
