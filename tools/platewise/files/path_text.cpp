// A file name as messages print it (see path_text.h).
#include "files/path_text.h"

#include "smart.h"

namespace platewise {

std::string path_text(const std::string& path)
{
#if defined(_WIN32)
    std::string text;
    std::size_t from = 0;
    for (std::size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', from)) {
        text += smart::sanitize_text(path.substr(from, at - from)) + "\\";
        from = at + 1;
    }
    return text + smart::sanitize_text(path.substr(from));
#else
    return smart::sanitize_text(path);
#endif
}

}  // namespace platewise
