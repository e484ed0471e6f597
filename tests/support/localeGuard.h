#pragma once

#include <clocale>
#include <string>

// Runs a test under another C locale; the one before comes back after it.
class LocaleGuard {
public:
    explicit LocaleGuard(const char* name)
    {
        const char* old = std::setlocale(LC_ALL, nullptr);
        m_old = old != nullptr ? old : "C";
        m_isSet = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~LocaleGuard() { std::setlocale(LC_ALL, m_old.c_str()); }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;
    bool IsSet() const { return m_isSet; }

private:
    std::string m_old;
    bool m_isSet = false;
};
