#include "users.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace cv4870web {

const char *roleName(Role role)
{
    switch (role) {
    case Role::Viewer:
        return "viewer";
    case Role::Operator:
        return "operator";
    case Role::Admin:
        return "admin";
    }
    return "viewer";
}

std::optional<Role> parseRole(std::string_view text)
{
    for (Role r : {Role::Viewer, Role::Operator, Role::Admin})
        if (text == roleName(r))
            return r;
    return std::nullopt;
}

bool validUserName(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

namespace {

bool validHash(std::string_view hash)
{
    if (hash.size() < 13 || hash.size() > 512 || hash[0] != '$')
        return false;
    for (char c : hash)
        if (c <= ' ' || c > '~' || c == ':')
            return false;
    return true;
}

} // namespace

bool parseUsers(std::istream &in, std::vector<User> *users, std::string *error)
{
    std::vector<User> result;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const auto fail = [&](const std::string &what) {
            *error = "line " + std::to_string(number) + ": " + what;
            return false;
        };
        const auto a = line.find(':');
        const auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            return fail("expected name:role:hash");
        User u;
        u.name = line.substr(0, a);
        const std::string role = line.substr(a + 1, b - a - 1);
        u.hash = line.substr(b + 1);
        if (!validUserName(u.name))
            return fail("bad user name (1 to 64 of A-Z a-z 0-9 . _ -)");
        const auto r = parseRole(role);
        if (!r)
            return fail("unknown role '" + role.substr(0, 32) + "' (viewer, operator or admin)");
        u.role = *r;
        if (!validHash(u.hash))
            return fail("the password hash of " + u.name + " is not a crypt(3) hash");
        for (const User &other : result)
            if (other.name == u.name)
                return fail("user " + u.name + " appears twice");
        result.push_back(std::move(u));
    }
    if (in.bad()) {
        *error = "read error";
        return false;
    }
    *users = std::move(result);
    return true;
}

bool writeUsers(const std::string &path, const std::vector<User> &users, std::string *error)
{
    std::string text = "# cv4870-web users: name:role:hash (cv4870-web user add|del|list)\n";
    for (const User &u : users)
        text += u.name + ":" + roleName(u.role) + ":" + u.hash + "\n";
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string hashPassword(const std::string &password)
{
    std::unique_ptr<char, decltype(&std::free)> setting(crypt_gensalt_ra("$y$", 0, nullptr, 0), &std::free);
    if (!setting)
        return {};
    auto data = std::make_unique<crypt_data>();
    const char *hash = crypt_r(password.c_str(), setting.get(), data.get());
    std::string result = hash && hash[0] == '$' ? hash : "";
    explicit_bzero(data.get(), sizeof(crypt_data));
    return result;
}

bool verifyPassword(const std::string &password, const std::string &hash)
{
    auto data = std::make_unique<crypt_data>();
    const char *computed = crypt_r(password.c_str(), hash.c_str(), data.get());
    bool ok = false;
    if (computed && computed[0] == '$') {
        const std::size_t n = std::strlen(computed);
        // The lengths of two hashes of one setting are equal; the bytes are
        // compared all the way through.
        unsigned char diff = n == hash.size() ? 0 : 1;
        for (std::size_t i = 0; i < n; ++i)
            diff |= static_cast<unsigned char>(computed[i] ^ (i < hash.size() ? hash[i] : 0));
        ok = diff == 0;
    }
    explicit_bzero(data.get(), sizeof(crypt_data));
    return ok;
}

} // namespace cv4870web
