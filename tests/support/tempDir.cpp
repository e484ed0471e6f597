#include "support/tempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

CTempFolder::CTempFolder(const std::string& prefix)
{
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    if (error || ::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "no folder " << pattern << ": "
                      << (error ? error.message() : std::strerror(errno));
        return;
    }
    m_path = pattern;
}

CTempFolder::~CTempFolder()
{
    if (m_path.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}
