#include "SfxFormat.h"

#include "ZipError.h"
#include "ZipFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <zlib.h>

namespace zipcore {

namespace {

const unsigned char Magic[8] = {'P', 'L', 'V', 'S', 'F', 'X', '0', '2'};
constexpr std::size_t CrcAt = 40;

// Values escape only "\\" and "\n"; any other backslash stands for itself,
// so that a Windows-style path survives unchanged.
std::string escape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && (value[i + 1] == '\\' || value[i + 1] == 'n')) {
            out += value[i + 1] == 'n' ? '\n' : '\\';
            ++i;
            continue;
        }
        out += value[i];
    }
    return out;
}

void readFlag(const std::string& value, bool& flag)
{
    if (value == "1")
        flag = true;
    else if (value == "0")
        flag = false;
    // Anything else keeps the default rather than guessing.
}

// Reads "key=value" lines; unknown keys and lines without "=" are skipped so
// that later versions can add keys without breaking older runtimes.
SfxSettings parseText(const std::string& text)
{
    SfxSettings settings;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unescape(line.substr(eq + 1));
        if (key == "folder")
            settings.folder = value;
        else if (key == "create")
            readFlag(value, settings.create);
        else if (key == "message")
            settings.message = value;
        else if (key == "show")
            readFlag(value, settings.show);
        else if (key == "run")
            settings.run = value;
    }
    return settings;
}

std::uint32_t blockCrc(const unsigned char* data, std::size_t length)
{
    // The CRC field itself counts as zeros.
    const unsigned char zeros[4] = {0, 0, 0, 0};
    uLong crc = crc32(0, nullptr, 0);
    crc = crc32(crc, data, static_cast<uInt>(CrcAt));
    crc = crc32(crc, zeros, sizeof zeros);
    const unsigned char* rest = data + CrcAt + 4;
    std::size_t left = length - CrcAt - 4;
    while (left > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        crc = crc32(crc, rest, step);
        rest += step;
        left -= step;
    }
    return static_cast<std::uint32_t>(crc);
}

[[noreturn]] void damaged(const std::string& cause)
{
    throw ZipError(ZipErrc::Damaged, std::string(), cause);
}

void readExactly(ByteSource& source, std::uint64_t offset, void* buffer, std::size_t length)
{
    if (source.readAt(offset, buffer, length))
        return;
    if (source.lastError() != 0)
        throw ZipError(ZipErrc::ReadFailed, std::string(), std::strerror(source.lastError()), source.lastError());
    damaged("the self-extractor is cut short");
}

} // namespace

bool SfxSettings::operator==(const SfxSettings& other) const
{
    return folder == other.folder && create == other.create && message == other.message && show == other.show
        && run == other.run;
}

Bytes encodeSfxBlock(const SfxBlock& block)
{
    const SfxSettings& s = block.settings;
    std::string text;
    text += "folder=" + escape(s.folder) + '\n';
    text += std::string("create=") + (s.create ? '1' : '0') + '\n';
    text += "message=" + escape(s.message) + '\n';
    text += std::string("show=") + (s.show ? '1' : '0') + '\n';
    text += "run=" + escape(s.run) + '\n';

    const std::size_t total = SfxHeaderSize + text.size() + SfxTrailerSize;
    Bytes bytes(total, 0);
    unsigned char* p = bytes.data();
    std::memcpy(p, Magic, sizeof Magic);
    put64(p + 8, text.size());
    put64(p + 16, block.placement.zipStart);
    put64(p + 24, block.placement.endRecord);
    put64(p + 32, block.placement.fileSize);
    std::memcpy(p + SfxHeaderSize, text.data(), text.size());
    unsigned char* trailer = p + SfxHeaderSize + text.size();
    std::memcpy(trailer, Magic, sizeof Magic);
    put64(trailer + 8, total);
    put32(p + CrcAt, blockCrc(p, total));
    return bytes;
}

Parsed<std::uint64_t> sfxBlockLength(const unsigned char* header, std::size_t length)
{
    Parsed<std::uint64_t> result;
    if (length < SfxHeaderSize || std::memcmp(header, Magic, sizeof Magic) != 0) {
        result.error = "no settings block";
        return result;
    }
    const std::uint64_t text = get64(header + 8);
    if (text > MaxSfxBlock - SfxHeaderSize - SfxTrailerSize) {
        result.error = "the settings block has an impossible length";
        return result;
    }
    result.record = SfxHeaderSize + text + SfxTrailerSize;
    return result;
}

Parsed<std::uint64_t> sfxBlockLengthFromTrailer(const unsigned char* trailer, std::size_t length)
{
    Parsed<std::uint64_t> result;
    if (length < SfxTrailerSize || std::memcmp(trailer, Magic, sizeof Magic) != 0) {
        result.error = "no settings block";
        return result;
    }
    result.record = get64(trailer + 8);
    if (result.record < SfxHeaderSize + SfxTrailerSize || result.record > MaxSfxBlock)
        result.error = "the settings block has an impossible length";
    return result;
}

Parsed<SfxBlock> parseSfxBlock(const unsigned char* data, std::size_t length)
{
    Parsed<SfxBlock> result;
    const Parsed<std::uint64_t> total = sfxBlockLength(data, length);
    if (!total.ok()) {
        result.error = total.error;
        return result;
    }
    const unsigned char* trailer = data + total.record - SfxTrailerSize;
    if (total.record != length || std::memcmp(trailer, Magic, sizeof Magic) != 0 || get64(trailer + 8) != length
        || get32(data + CrcAt + 4) != 0) {
        result.error = "the settings block is damaged";
        return result;
    }
    if (get32(data + CrcAt) != blockCrc(data, length)) {
        result.error = "the settings block is damaged (CRC mismatch)";
        return result;
    }
    result.record.placement.zipStart = get64(data + 16);
    result.record.placement.endRecord = get64(data + 24);
    result.record.placement.fileSize = get64(data + 32);
    result.record.settings = parseText(
        std::string(reinterpret_cast<const char*>(data + SfxHeaderSize), length - SfxHeaderSize - SfxTrailerSize));
    return result;
}

SelfExtractor readSelfExtractor(ByteSource& source, std::uint64_t blockStart, bool localTimes)
{
    if (blockStart == 0)
        throw ZipError(ZipErrc::NotAnArchive, std::string(), "the runtime holds no archive");
    const std::uint64_t fileSize = source.size();
    unsigned char header[SfxHeaderSize];
    if (!fits(blockStart, sizeof header, fileSize))
        damaged("the settings block is missing (the file may be truncated)");
    readExactly(source, blockStart, header, sizeof header);
    const Parsed<std::uint64_t> length = sfxBlockLength(header, sizeof header);
    if (!length.ok())
        damaged(std::string("the settings block is damaged (") + length.error + ")");
    if (!fits(blockStart, length.record, fileSize))
        damaged("the settings block is cut short");
    Bytes bytes(static_cast<std::size_t>(length.record));
    readExactly(source, blockStart, bytes.data(), bytes.size());
    const Parsed<SfxBlock> block = parseSfxBlock(bytes.data(), bytes.size());
    if (!block.ok())
        damaged(block.error);

    const SfxPlacement& placement = block.record.placement;
    if (placement.zipStart != blockStart + length.record)
        damaged("the settings block does not end where the zip data starts");
    if (placement.fileSize != fileSize)
        damaged("the file is not as long as when it was made");
    if (placement.endRecord < placement.zipStart)
        damaged("the end record lies outside the zip data");

    SelfExtractor result;
    result.block = block.record;
    // The end record where the block says, and its comment up to the end of
    // the file: nothing in the comment or in entry data can stand in for it.
    result.directory = readDirectoryAt(source, placement.endRecord, localTimes);
    const Layout& layout = result.directory.layout;
    const bool zip64Inside = !layout.hasZip64 || layout.zip64EndPos >= placement.zipStart;
    if (layout.cdStart < placement.zipStart || !zip64Inside)
        damaged("the central directory lies outside the zip data");
    // Offsets count from the start of the file, as the maker writes them.
    // An empty archive's directory offset is 0, which counts from nowhere.
    const bool hasEntries = layout.entryCount > 0 || !result.directory.entries.empty();
    if (hasEntries && (layout.shift != 0 || layout.zipStart < placement.zipStart))
        damaged("the central directory points outside the zip data");
    return result;
}

} // namespace zipcore
