// Who runs the command, as ack records it: the user name and uid, and the
// user behind sudo.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "commands/ack_command.h"
#include "smart.h"

namespace platewise {

std::string current_user_text()
{
    const uid_t uid = ::getuid();
    std::string name = "uid " + std::to_string(uid);
    if (const passwd* pw = ::getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
        name = smart::sanitize_text(pw->pw_name) + " (uid " + std::to_string(uid) + ")";
    }
    if (const char* sudo = std::getenv("SUDO_USER"); sudo != nullptr && uid == 0) {
        name += " via sudo by " + smart::sanitize_text(sudo);
    }
    return name;
}

}  // namespace platewise
