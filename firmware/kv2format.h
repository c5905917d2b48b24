// Layout of a KV2 firmware update file: a 1280-byte header followed by up to
// eight sections. Shared by UpdateImage (reading) and mzt500-kv2 (writing).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace kv2 {

constexpr int HeaderSize = 1280;     // fixed header in front of the sections
constexpr int HeaderBlockSize = 256; // part of the header sent to the recorder
constexpr int MaxSections = 8;       // size table entries in the header
constexpr int SectionAlign = 256;    // sections are whole 256-byte blocks
constexpr int ModelOffset = 5;
constexpr int ModelFieldSize = 40; // offsets 5..44
constexpr int SectionCountOffset = 46;
constexpr int SizeTableOffset = 68;
constexpr int ChecksumOffset = 100;
constexpr int FreeTextOffset = 256;
constexpr int FreeTextSize = HeaderSize - FreeTextOffset;
// Update files are a few hundred KiB; anything this large is not one, and
// refusing it up front keeps a stray multi-gigabyte file out of memory.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// "KVU2" and a terminating zero.
inline constexpr char Magic[5] = {'K', 'V', 'U', '2', '\0'};

struct Header {
    QByteArray magic;     // the first five bytes as stored
    QString model;        // target model name
    int sectionCount = 0; // as stored, may exceed MaxSections
    std::array<quint32, MaxSections> sizes {};
    quint32 checksum = 0; // as stored
};

// The software version an update file's free text states, as the recorder
// reports versions (major in the high byte: "1.05" is 0x0105), or nothing.
// The file format has no version field; only a line that says "version"
// followed by a number counts, so a build date or a path is never taken
// for one. The first such statement wins.
std::optional<quint16> statedVersion(const QByteArray& freeText);

// Parses the fixed fields; data must hold at least HeaderSize bytes.
Header parseHeader(const char* data);

bool hasMagic(const Header& header);

// Why the header's section table cannot describe a file of fileSize bytes,
// or an empty string when it can: at most eight sections, each a whole
// number of 256-byte blocks, all of them inside the file.
QString layoutProblem(const Header& header, qint64 fileSize);

// Wrapping 32-bit sum of all section bytes. Only valid once layoutProblem()
// returned nothing for the same header and data.
quint32 checksum(const Header& header, const char* data);

struct BuildInput {
    QString model;
    QByteArray freeText;        // at most FreeTextSize bytes
    QList<QByteArray> sections; // each a multiple of SectionAlign
};

// Writes a complete, valid file image, or returns false with *error set.
bool build(const BuildInput& input, QByteArray* out, QString* error);

// A deterministic stand-in for firmware content, used where the project
// needs a section but has no recorder firmware to put in it. Every 256-byte
// block starts with the readable tag "KV2 placeholder <tag> block <n>" padded
// with zeros to 64 bytes; the remaining 192 bytes are successive values of
// the 32-bit generator x = x * 1664525 + 1013904223 (low byte of each value),
// seeded with the block number plus 65536 times the tag's byte sum.
QByteArray placeholderSection(const QByteArray& tag, int size);

} // namespace kv2
