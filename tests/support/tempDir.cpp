#include "support/tempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

void TempDirTest::SetUp()
{
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    ASSERT_FALSE(error) << error.message();
    std::string pattern = (base / "qvtest-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(::mkdtemp(buffer.data()), nullptr) << std::strerror(errno);
    m_dir = buffer.data();
}

void TempDirTest::TearDown()
{
    if (m_dir.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(m_dir, error);
}
