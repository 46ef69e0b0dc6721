// Reading decode inputs.
#include "files/input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace platewise {

namespace {

void read_stream(std::istream& in, InputBytes& input)
{
    constexpr std::size_t kKeep = std::max(smart::kDriveSnapshotBytes, smart::nvme::kSnapshotBytes) + 1;
    char chunk[16384];
    while (in) {
        in.read(chunk, sizeof chunk);
        const auto n = static_cast<std::size_t>(in.gcount());
        if (n == 0) {
            break;
        }
        input.size += n;
        if (input.bytes.size() < kKeep) {
            const std::size_t take = std::min(n, kKeep - input.bytes.size());
            input.bytes.insert(input.bytes.end(), reinterpret_cast<std::uint8_t*>(chunk),
                               reinterpret_cast<std::uint8_t*>(chunk) + take);
        }
    }
}

}  // namespace

InputBytes read_input(const std::string& name, std::istream& standard_input)
{
    InputBytes input;
    if (name == "-") {
        read_stream(standard_input, input);
        input.opened = !standard_input.bad();
        if (!input.opened) {
            input.error = "cannot read standard input";
        }
        return input;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(name, ec)) {
        input.error = "is a directory";
        return input;
    }
    std::ifstream file(name, std::ios::binary);
    if (!file) {
        input.error = std::string("cannot open: ") + std::strerror(errno);
        return input;
    }
    read_stream(file, input);
    if (file.bad()) {
        input.error = "read error";
        return input;
    }
    input.opened = true;
    return input;
}

}  // namespace platewise
