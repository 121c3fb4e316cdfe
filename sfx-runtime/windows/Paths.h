#ifndef PLOVERN_SFX_WIN_PATHS_H
#define PLOVERN_SFX_WIN_PATHS_H

#include <string>

// Paths as the maker typed them (on Linux, most likely) made into Windows
// ones. UTF-8 throughout.
namespace Paths {

// "/" becomes "\"; a leading "~" is the user's profile folder.
std::string windowsForm(const std::string& path);

// The default or chosen folder ready for use: windowsForm, the current
// folder when empty, without trailing separators.
std::string folder(const std::string& typed);

// The folder as an absolute path, for the user to see.
std::string absolute(const std::string& path);

bool isAbsolute(const std::string& path);
std::string join(const std::string& folder, const std::string& relative);

// The last part of a path.
std::string baseName(const std::string& path);

} // namespace Paths

#endif // PLOVERN_SFX_WIN_PATHS_H
