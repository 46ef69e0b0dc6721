// Shared helpers of the platewise tool tests: the corpus, snapshots built
// from it, and running the command line in-process.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "smart.h"

namespace tooltest {

inline const std::filesystem::path kDrives = std::filesystem::path(PLATEWISE_TEST_DATA) / "drives";

inline std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline smart::DriveRecord corpus_record(const std::string& file)
{
    smart::DriveRecord record{};
    const std::vector<std::uint8_t> bytes = file_bytes(kDrives / file);
    smart::read_drive_record(bytes, record);
    return record;
}

// A snapshot whose first slots hold the given corpus drives, with the count
// byte the service would send (drives + 1).
inline std::vector<std::uint8_t> snapshot_of(const std::vector<std::string>& files)
{
    std::vector<std::uint8_t> bytes(smart::kDriveSnapshotBytes, 0);
    bytes[0] = static_cast<std::uint8_t>(files.size() + 1);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::vector<std::uint8_t> record = file_bytes(kDrives / files[i]);
        std::memcpy(bytes.data() + 1 + i * smart::kDriveRecordBytes, record.data(),
                    smart::kDriveRecordBytes);
    }
    return bytes;
}

// How often `piece` stands in `text` (overlapping ones counted).
inline std::size_t occurrences(const std::string& text, const std::string& piece)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

inline void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Puts an ATA string (two characters per word, high byte first) into words
// first.. of IDENTIFY data, padded with blanks.
inline void put_ata_string(std::uint8_t* identify, std::size_t first_word, std::size_t words,
                           const std::string& text)
{
    for (std::size_t i = 0; i < words * 2; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        const std::size_t word = first_word + i / 2;
        identify[word * 2 + (i % 2 == 0 ? 1 : 0)] = static_cast<std::uint8_t>(c);
    }
}

inline void put_word(std::uint8_t* identify, std::size_t word, std::uint16_t value)
{
    identify[word * 2] = static_cast<std::uint8_t>(value & 0xff);
    identify[word * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Sets attribute entry `slot` of a SMART READ DATA sector and its threshold.
inline void put_attribute(smart::DriveRecord& record, std::size_t slot, std::uint8_t id,
                          std::uint8_t value, std::uint8_t worst, std::uint8_t threshold,
                          const std::uint8_t (&raw)[6] = {0, 0, 0, 0, 0, 0})
{
    std::uint8_t* e = record.smart_values + 2 + slot * 12;
    e[0] = id;
    e[1] = 0x33;
    e[2] = 0x00;
    e[3] = value;
    e[4] = worst;
    std::memcpy(e + 5, raw, 6);
    e[11] = 0;
    std::uint8_t* t = record.smart_thresholds + 2 + slot * 12;
    t[0] = id;
    t[1] = threshold;
}

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

}  // namespace tooltest
