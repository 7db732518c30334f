/* viFindRsrc and viFindNext over the resource file and its scan ranges. */
#include "findexpr.h"
#include "objects.h"
#include "rsrcfile.h"
#include "rsrcname.h"
#include "visa.h"

#include <cstdio>
#include <new>
#include <unordered_set>

using namespace cvvisa;

extern "C" {

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[])
{
    if (vi)
        *vi = VI_NULL;
    if (retCnt)
        *retCnt = 0;
    if (desc)
        desc[0] = '\0';
    if (const ViStatus st = checkManager(sesn); st != VI_SUCCESS)
        return st;
    FindExpr matcher;
    if (matcher.compile(expr) != VI_SUCCESS)
        return VI_ERROR_INV_EXPR;

    std::shared_ptr<FindListObject> list(new (std::nothrow) FindListObject(sesn));
    if (!list)
        return VI_ERROR_ALLOC;
    try {
        ResourceConfig config;
        const std::string path = resourceFilePath();
        const bool read = loadResourceFile(path, &config);
        if (auto rm = std::static_pointer_cast<ManagerObject>(objectTable().find(sesn))) {
            std::lock_guard<std::mutex> g(rm->lock);
            rm->searched = true;
            rm->rsrcFile = path;
            rm->rsrcFileRead = read;
        }
        for (const std::string &problem : config.problems)
            fprintf(stderr, "visa: %s:%s (line skipped)\n", path.c_str(), problem.c_str());
        /* Every name the library knows is listed, and matched, in its
         * canonical form; two entries that name the same resource in
         * different spellings are listed once. Other names stay as written. */
        std::unordered_set<std::string> seen;
        for (std::string &name : collectResources(config, ScanOptions())) {
            RsrcInfo info;
            if (parseRsrc(name.c_str(), &info) == VI_SUCCESS)
                name = std::move(info.canonical);
            std::string key = name;
            for (char &c : key)
                c = asciiLower(c);
            if (seen.insert(std::move(key)).second && matcher.matches(name))
                list->names.push_back(std::move(name));
        }
    } catch (const std::bad_alloc &) {
        return VI_ERROR_ALLOC;
    }
    if (list->names.empty())
        return VI_ERROR_RSRC_NFOUND;

    if (retCnt)
        *retCnt = ViUInt32(list->names.size());
    if (desc)
        copyOut(desc, list->names.front());
    list->next = 1;
    if (vi) {
        ViObject handle = objectTable().add(list);
        if (handle == VI_NULL)
            return objectTable().find(sesn) ? VI_ERROR_ALLOC : VI_ERROR_INV_OBJECT;
        *vi = handle;
    }
    return VI_SUCCESS;
}

ViStatus viFindNext(ViFindList vi, ViChar desc[])
{
    std::shared_ptr<Object> obj = objectTable().find(vi);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    if (obj->kind != ObjectKind::FindList)
        return VI_ERROR_NSUP_OPER;
    if (!desc)
        return VI_ERROR_USER_BUF;
    auto &list = static_cast<FindListObject &>(*obj);
    std::lock_guard<std::mutex> g(list.lock);
    if (list.next >= list.names.size()) {
        desc[0] = '\0';
        return VI_ERROR_RSRC_NFOUND;
    }
    copyOut(desc, list.names[list.next++]);
    return VI_SUCCESS;
}

} // extern "C"
