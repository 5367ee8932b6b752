// tests/installation.h: installations laid out as the build configures
// them, for the tests that run the programs as they are installed.
#pragma once

#include <filesystem>
#include <string>

// Where the build puts things below an installation's root.
struct layout {
    std::string bin = MAVO_CONFIGURED_BIN_DIR;
    std::string exec = MAVO_CONFIGURED_EXEC_DIR;
    std::string libexec = MAVO_CONFIGURED_LIBEXEC_DIR;
    std::string root;   // the configured root: the parent of `bin`
    std::string versioned = std::string(MAVO_TARGET_TRIPLET) + "/" + MAVO_COMPILER_VERSION + "/";

    layout()
    {
        root = bin.substr(0, bin.rfind('/', bin.size() - 2) + 1);
        bin = bin.substr(root.size());
        exec = exec.substr(root.size());
        libexec = libexec.substr(root.size());
    }
    // From the program's directory back up to the root.
    std::string climb_from_bin() const
    {
        std::string up;
        for (char c : bin)
            if (c == '/')
                up += "../";
        return up;
    }
};

// An installation below `root`: copies of the three built programs in the
// program directory, and empty the two directories the programs search,
// the versioned libexec directory for the plug-in and the tool directory
// for the tools, which the test fills. The versioned library directory is
// made too: the programs reach the tool directory from it through "..".
struct installation {
    explicit installation(const std::string &given_root) : root(given_root)
    {
        layout l;
        std::filesystem::create_directories(root + "/" + l.bin);
        for (const char *built : {MAVO_AR_PATH, MAVO_NM_PATH, MAVO_RANLIB_PATH})
            std::filesystem::copy_file(built, root + "/" + l.bin + std::filesystem::path(built).filename().string());
        std::filesystem::create_directories(root + "/" + l.exec + l.versioned);
        std::filesystem::create_directories(libexec_dir());
        std::filesystem::create_directories(tool_dir());
    }
    // The installed program for `tool` ("ar", "nm" or "ranlib").
    std::string program_path(const std::string &tool) const { return root + "/" + layout().bin + "mavo-" + tool; }
    std::string tool_dir() const { return root + "/" + MAVO_TARGET_TRIPLET + "/bin"; }
    std::string libexec_dir() const
    {
        layout l;
        return root + "/" + l.libexec + l.versioned;
    }
    std::string root;
};

// The two directories of an installation whose real root is `real_root`, as
// the relocated directories spell them, ".." steps and all; with their '/'.
inline std::string spelled_tool_dir(const std::string &real_root)
{
    layout l;
    return real_root + "/" + l.bin + l.climb_from_bin() + l.exec + l.versioned + MAVO_TOOL_DIR_CLIMB +
           MAVO_TARGET_TRIPLET + "/bin/";
}
inline std::string spelled_libexec_dir(const std::string &real_root)
{
    layout l;
    return real_root + "/" + l.bin + l.climb_from_bin() + l.libexec + l.versioned;
}
