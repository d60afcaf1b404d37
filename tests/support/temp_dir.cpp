#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    // TMPDIR, or the platform's own temporary folder.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / ("pelloran-test-" + std::to_string(random()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            // Private, as a folder other users could write into would skew the rights tests.
            std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
            root = candidate.generic_string();
            return;
        }
        if (error)
            throw std::runtime_error("cannot create a temporary folder in " + base.string() + ": " + error.message());
    }
    throw std::runtime_error("cannot find a free temporary folder name in " + base.string());
}

TempDir::~TempDir()
{
    std::error_code ignored;
    // Tests make files read-only or immutable; give the tree back before removing it.
    std::filesystem::permissions(root, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root, ignored);
}

std::string TempDir::file(const std::string& name) const
{
    return root + "/" + name;
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.good())
        throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
