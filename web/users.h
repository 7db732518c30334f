// The users file: one user a line, "name:role:hash", '#' comments. Hashes
// are crypt(3) strings made and checked by libxcrypt.
#ifndef CV4870WEB_USERS_H
#define CV4870WEB_USERS_H

#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv4870web {

enum class Role { Viewer = 0, Operator = 1, Admin = 2 };
const char *roleName(Role role); // "viewer", "operator", "admin"
std::optional<Role> parseRole(std::string_view text);

struct User
{
    std::string name;
    Role role = Role::Viewer;
    std::string hash;
};

// 1 to 64 of A-Z a-z 0-9 . _ -
bool validUserName(std::string_view name);

// False with *error naming the line and what is wrong.
bool parseUsers(std::istream &in, std::vector<User> *users, std::string *error);
// Writes the file anew through a temporary file and a rename, mode 0600.
bool writeUsers(const std::string &path, const std::vector<User> &users, std::string *error);

// A yescrypt hash with a fresh salt; empty when libxcrypt fails.
std::string hashPassword(const std::string &password);
// True when password matches hash; the final comparison takes the same
// time wherever the texts differ. A hash libxcrypt can not read: false.
bool verifyPassword(const std::string &password, const std::string &hash);

} // namespace cv4870web

#endif
