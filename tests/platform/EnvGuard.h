// Sets or clears environment variables for one test and puts them back.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

    // A null value clears the variable.
    EnvGuard& Set(const std::string& strName, const char* pszValue) {
        const char* pszOld = std::getenv(strName.c_str());
        m_saved.emplace_back(strName, pszOld ? std::optional<std::string>(pszOld) : std::nullopt);
        if (pszValue)
            ::setenv(strName.c_str(), pszValue, 1);
        else
            ::unsetenv(strName.c_str());
        return *this;
    }
    EnvGuard& Set(const std::string& strName, const std::string& strValue) { return Set(strName, strValue.c_str()); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};
