// tests/installation.h: where the build's configured directories put things
// below an installation's root, for tests that lay one out.
#pragma once

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
