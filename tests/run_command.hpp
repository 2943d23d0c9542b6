// Runs the tolvane executable as a child process, the way a shell would,
// and collects its standard output, standard error and exit status.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct CommandResult {
    int status = -1;          // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Where the child's standard output goes.
enum class StdoutTo { file, dev_full, closed, pipe_without_reader };

inline std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// A nonzero `timeout_seconds` ends a child still running then with SIGALRM
// (status 128 + 14), so that a run that would hang fails instead.
inline CommandResult run_command(const std::vector<std::string>& args,
                                 StdoutTo stdout_to = StdoutTo::file,
                                 unsigned timeout_seconds = 0) {
    std::string out_name = temp_dir() + "/tolvane-out-XXXXXX";
    std::string err_name = temp_dir() + "/tolvane-err-XXXXXX";
    const int out_fd = mkstemp(&out_name[0]);
    const int err_fd = mkstemp(&err_name[0]);
    int pipe_fds[2] = {-1, -1};
    if (stdout_to == StdoutTo::pipe_without_reader && pipe(pipe_fds) == 0) {
        close(pipe_fds[0]);  // the reader has gone before the first write
    }
    const pid_t child = fork();
    if (child == 0) {
        switch (stdout_to) {
            case StdoutTo::file: dup2(out_fd, 1); break;
            case StdoutTo::dev_full: {
                const int full = open("/dev/full", O_WRONLY);
                dup2(full, 1);
                break;
            }
            case StdoutTo::closed: close(1); break;
            case StdoutTo::pipe_without_reader: dup2(pipe_fds[1], 1); break;
        }
        dup2(err_fd, 2);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (timeout_seconds > 0) {
            alarm(timeout_seconds);  // kept across execv
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pipe_fds[1] >= 0) {
        close(pipe_fds[1]);
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    CommandResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                           : 128 + WTERMSIG(wait_status);
    close(out_fd);
    close(err_fd);
    result.out = read_whole_file(out_name);
    result.err = read_whole_file(err_name);
    unlink(out_name.c_str());
    unlink(err_name.c_str());
    return result;
}
