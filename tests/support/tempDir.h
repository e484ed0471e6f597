#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// A fresh folder under the system's temporary folder, removed with all it holds when
// the object goes. One that cannot be made fails the test under way and is empty.
class CTempFolder {
public:
    explicit CTempFolder(const std::string& prefix = "qvtest");
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    bool IsMade() const { return !m_path.empty(); }
    const std::filesystem::path& Path() const { return m_path; }
    std::string Name() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

// A fresh directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_folder.IsMade()); }
    std::filesystem::path Path(const std::string& name) const { return Dir() / name; }
    const std::filesystem::path& Dir() const { return m_folder.Path(); }

private:
    CTempFolder m_folder;
};
