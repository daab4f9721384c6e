// Start-up benchmark: process start to the first painted frame of the main
// window, and the peak resident memory of that run (the client stops at the
// frame, before anything the frame lets start, and is ended there). At the
// frame the client is stopped for a moment and its mappings read: the shared
// libraries it has loaded and its resident memory
// then. Runs the client ten times on the offscreen platform and, when a
// display is available (run under xvfb-run), ten times on it; prints every
// run as "SAMPLE name value" and medians. Also prints the binary's size and
// the libraries the loader resolves for it.
//
// usage: bench_startup [CLIENT [ROUNDS]]

#include <algorithm>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Run
{
    double firstFrameMs = -1;
    long peakRssKb = 0;
    long hwmAtFrameKb = 0;
    std::set<std::string> libraries; // shared objects mapped at the frame
};

std::string readAll(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long statusKb(const std::string &status, const char *field)
{
    const size_t at = status.find(field);
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + std::strlen(field));
}

// Looks at a stopped client: its high-water mark and its mapped libraries.
void inspect(pid_t pid, Run &run)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    run.hwmAtFrameKb = statusKb(readAll(proc + "/status"), "VmHWM:");
    std::istringstream maps(readAll(proc + "/maps"));
    std::string line;
    while (std::getline(maps, line)) {
        const size_t path = line.find('/');
        if (path != std::string::npos && line.find(".so", path) != std::string::npos)
            run.libraries.insert(line.substr(path));
    }
}

Run runOnce(const std::string &client, const std::vector<std::string> &extraEnv)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env.emplace_back(*e);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string arg0 = client;
    char *argv[] = {arg0.data(), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, client.c_str(), &actions, nullptr, argv, envp.data()) != 0)
        return {};
    close(out[1]);
    Run run;
    std::string seen;
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        seen.append(buffer, size_t(n));
        if (run.firstFrameMs < 0 && seen.find("first-frame") != std::string::npos) {
            run.firstFrameMs
                = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            ::kill(pid, SIGSTOP);
            inspect(pid, run);
            ::kill(pid, SIGCONT);
            // The client waits at its first frame (an older one quits by
            // itself): its peak is the frame's.
            ::kill(pid, SIGKILL);
        }
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.peakRssKb = usage.ru_maxrss;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

void series(const char *label, const std::string &client, const std::vector<std::string> &env, int rounds)
{
    std::vector<double> frames, rss;
    std::set<std::string> libraries;
    for (int i = 0; i < rounds; ++i) {
        const Run r = runOnce(client, env);
        if (r.firstFrameMs < 0) {
            std::printf("%-10s run %d: no frame reported\n", label, i);
            continue;
        }
        frames.push_back(r.firstFrameMs);
        rss.push_back(r.peakRssKb / 1024.0);
        std::printf("SAMPLE startup-%s-first-frame-ms %.3f\nSAMPLE startup-%s-peak-rss-mb %.2f\n"
                    "SAMPLE startup-%s-hwm-at-frame-mb %.2f\nSAMPLE startup-%s-libraries %zu\n",
                    label, r.firstFrameMs, label, r.peakRssKb / 1024.0, label, r.hwmAtFrameKb / 1024.0, label,
                    r.libraries.size());
        if (libraries.empty())
            libraries = r.libraries;
    }
    std::printf(
        "%-10s first frame median %.1f ms (min %.1f, max %.1f)   peak RSS median %.1f MB   runs %zu\n", label,
        median(frames), frames.empty() ? 0 : *std::min_element(frames.begin(), frames.end()),
        frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end()), median(rss), frames.size());
    std::printf("%-10s %zu shared libraries mapped at the first frame:\n", label, libraries.size());
    for (const std::string &library : libraries)
        std::printf("    %s\n", library.c_str());
}

// The libraries the dynamic loader resolves for the binary (ldd's list).
void linked(const std::string &client)
{
    struct stat st = {};
    if (stat(client.c_str(), &st) == 0)
        std::printf("binary %s: %.2f MB\nFIGURE binary-size-mb %.2f\n", client.c_str(),
                    st.st_size / 1048576.0, st.st_size / 1048576.0);
    // Without the debug information a RelWithDebInfo build carries.
    char stripped[] = "/tmp/orvex-bench-stripped-XXXXXX";
    const int fd = mkstemp(stripped);
    if (fd >= 0) {
        close(fd);
        const std::string strip = "strip -o '" + std::string(stripped) + "' '" + client + "' 2>/dev/null";
        struct stat small = {};
        if (std::system(strip.c_str()) == 0 && stat(stripped, &small) == 0)
            std::printf("FIGURE binary-stripped-mb %.2f\n", small.st_size / 1048576.0);
        unlink(stripped);
    }
    const std::string command = "ldd '" + client + "' 2>/dev/null";
    FILE *ldd = popen(command.c_str(), "r");
    if (!ldd)
        return;
    int count = 0;
    char line[512];
    while (fgets(line, sizeof line, ldd)) {
        if (std::strstr(line, "=>") || std::strstr(line, "ld-linux"))
            ++count;
    }
    pclose(ldd);
    std::printf("FIGURE linked-libraries %d\n", count);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string client = argc > 1 ? argv[1] : ORVEX_CLIENT_BINARY;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    linked(client);
    char home[] = "/tmp/orvex-bench-startup-XXXXXX";
    if (!mkdtemp(home))
        return 1;
    const std::string h = home;
    // A private home (signed out: the start screen) and a session bus that
    // does not exist, so nothing is auto-launched and nothing real is touched.
    const std::vector<std::string> common = {"HOME=" + h,
                                             "XDG_CONFIG_HOME=" + h + "/config",
                                             "XDG_DATA_HOME=" + h + "/data",
                                             "XDG_CACHE_HOME=" + h + "/cache",
                                             "XDG_RUNTIME_DIR=" + h,
                                             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + h + "/no-bus",
                                             "ORVEX_BENCH_FIRST_FRAME=1"};

    auto offscreen = common;
    offscreen.push_back("QT_QPA_PLATFORM=offscreen");
    series("offscreen", client, offscreen, rounds);
    if (std::getenv("DISPLAY")) {
        auto xcb = common;
        xcb.push_back("QT_QPA_PLATFORM=xcb");
        series("xcb", client, xcb, rounds);
    } else {
        std::printf("xcb        skipped: no DISPLAY (run under xvfb-run for it)\n");
    }
    std::string cleanup = "rm -rf '" + h + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
