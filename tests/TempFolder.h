// A folder of a test's own, removed with all it holds when the test ends,
// however it ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

class TTempFolder {
public:
    // <parent>/<prefix>_XXXXXX, made by mkdtemp: no other user can have made
    // it first.
    explicit TTempFolder(const std::string& prefix, const std::string& parent = "/tmp")
    {
        std::string pattern = parent + "/" + prefix + "_XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp " + pattern);
        m_path = pattern;
    }
    // Also when a test has taken the folder's write permission away.
    ~TTempFolder()
    {
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    const std::filesystem::path& Path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};
