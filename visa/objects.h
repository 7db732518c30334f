/* The locked table of resource managers, sessions and find lists behind
 * every ViObject handle. Internal to the VISA library. */
#ifndef CV_VISA_OBJECTS_H
#define CV_VISA_OBJECTS_H

#include "rsrcname.h"
#include "tcpconn.h"
#include "visa.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cvvisa {

enum class ObjectKind { ResourceManager, Session, FindList };

struct Object
{
    explicit Object(ObjectKind k, ViSession owner)
        : kind(k)
        , rm(owner)
    {}
    virtual ~Object() = default;
    const ObjectKind kind;
    const ViSession rm; /* the manager it was opened through; 0 for a manager */
};

struct ManagerObject : Object
{
    ManagerObject()
        : Object(ObjectKind::ResourceManager, VI_NULL)
    {}
    /* What the last search through this manager looked for and read
     * (VI_ATTR_CV_RSRC_FILE, VI_ATTR_CV_RSRC_FILE_READ). */
    std::mutex lock;
    bool searched = false;
    std::string rsrcFile;
    bool rsrcFileRead = false;
};

struct SessionObject : Object
{
    explicit SessionObject(ViSession owner)
        : Object(ObjectKind::Session, owner)
    {}

    /* Set once before the session enters the table, then read-only. */
    SocketRsrc rsrc;
    std::string rsrcName, hostName;

    /* Serialises I/O on this session; other sessions are not held up. */
    std::mutex io;
    TcpConn conn;

    /* Attribute values, under their own lock so that reading an attribute
     * never waits for a read or write in progress. The ones every read and
     * write takes are atomic and read without the lock. */
    std::mutex attrLock;
    std::atomic<ViUInt32> timeoutMs{2000};
    std::atomic<ViUInt8> termChar{'\n'};
    std::atomic<bool> termCharEnabled{false};
    std::atomic<bool> suppressEnd{false};
    bool noDelay = true;
    bool keepAlive = false;
};

struct FindListObject : Object
{
    explicit FindListObject(ViSession owner)
        : Object(ObjectKind::FindList, owner)
    {}
    std::mutex lock;
    std::vector<std::string> names;
    std::size_t next = 0;
};

/* Every operation takes constant time on average, except that removing a
 * manager walks the objects opened through it. */
class ObjectTable
{
public:
    /* Enters obj under a fresh handle; 0 when the table is full or the
     * manager obj belongs to has been closed meanwhile. */
    ViObject add(std::shared_ptr<Object> obj);
    std::shared_ptr<Object> find(ViObject handle);
    /* Removes the object and, for a manager, everything opened through
     * it; returns what was removed, the object itself first. */
    std::vector<std::shared_ptr<Object>> remove(ViObject handle);

private:
    static constexpr std::size_t kMaxObjects = 65536;
    struct Entry
    {
        std::shared_ptr<Object> obj;
        std::unordered_set<ViObject> children; /* of a manager */
    };
    std::mutex lock_;
    std::unordered_map<ViObject, Entry> objects_;
    ViObject last_ = 0;
};

ObjectTable &objectTable();
/* VI_SUCCESS when sesn is an open resource manager; VI_ERROR_INV_OBJECT
 * when it is not open, VI_ERROR_NSUP_OPER when it is another object. */
ViStatus checkManager(ViSession sesn);

/* Copies a string attribute or description into a caller's buffer of
 * VI_FIND_BUFLEN bytes, cut to fit and always NUL-terminated. */
void copyOut(ViChar *dst, const std::string &src);

} // namespace cvvisa

#endif
