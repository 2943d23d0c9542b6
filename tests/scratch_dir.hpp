// A fresh directory for one test's image files, removed with everything in
// it when the test ends; and a record of an image file's bytes and
// modification time, to show that a run left it exactly as it was.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "image_builder.hpp"
#include "run_command.hpp"

class ScratchDir {
public:
    ScratchDir() {
        std::string name = temp_dir() + "/tolvane-test-XXXXXX";
        if (mkdtemp(&name[0]) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::error_code ignored;  // a leftover directory harms no test
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes the image's bytes to NAME in the directory; returns its path.
    std::string write(const std::string& name, const ImageBuilder& image) const {
        const std::string file = path_ + "/" + name;
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.bytes().data()),
                  static_cast<std::streamsize>(image.size()));
        return file;
    }

private:
    std::string path_;
};

// An image file's bytes and modification time. The time is first set well
// in the past, so that any write by the run under test would move it.
struct FileState {
    bool exists = false;
    std::string bytes;
    long long mtime_sec = 0;
    long mtime_nsec = 0;

    bool operator==(const FileState& other) const {
        return exists == other.exists && bytes == other.bytes &&
               mtime_sec == other.mtime_sec && mtime_nsec == other.mtime_nsec;
    }
};

inline FileState file_state(const std::string& path, bool read_bytes = true) {
    FileState state;
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return state;
    }
    state.exists = true;
    if (read_bytes) {
        state.bytes = read_whole_file(path);
    }
    state.mtime_sec = status.st_mtim.tv_sec;
    state.mtime_nsec = status.st_mtim.tv_nsec;
    return state;
}

// Sets the file's access and modification times to 2001-02-03 04:05:06.789.
inline bool set_old_times(const std::string& path) {
    const struct timespec old[2] = {{981173106, 789000000}, {981173106, 789000000}};
    return utimensat(AT_FDCWD, path.c_str(), old, 0) == 0;
}
