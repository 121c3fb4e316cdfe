#ifndef PLOVERN_FUZZARCHIVE_H
#define PLOVERN_FUZZARCHIVE_H

#include <QString>

#include <cstddef>
#include <cstdint>

// Helpers shared by the fuzz targets: each input is written to a file, since
// the engine works on paths, in a private folder that lives as long as the
// process.
namespace FuzzArchive {

// The private folder (created on first use).
const QString& folder();

// Writes `data` to the input file and returns its path.
QString write(const std::uint8_t* data, std::size_t size);

// Removes everything below `path`, leaving `path` itself.
void empty(const QString& path);

} // namespace FuzzArchive

#endif // PLOVERN_FUZZARCHIVE_H
