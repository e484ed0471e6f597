#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// A fresh directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path Path(const std::string& name) const { return m_dir / name; }
    const std::filesystem::path& Dir() const { return m_dir; }

private:
    std::filesystem::path m_dir;
};
