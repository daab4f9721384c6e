// Start-up benchmark: process start to the first painted frame of the main
// window, and the peak resident memory of that run. Runs the client ten times
// on the offscreen platform and, when a display is available (run under
// xvfb-run), ten times on it; prints medians.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Run
{
    double firstFrameMs = -1;
    long peakRssKb = 0;
};

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
        if (run.firstFrameMs < 0 && seen.find("first-frame") != std::string::npos)
            run.firstFrameMs = std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
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

void series(const char *label, const std::string &client, const std::vector<std::string> &env)
{
    std::vector<double> frames, rss;
    for (int i = 0; i < 10; ++i) {
        const Run r = runOnce(client, env);
        if (r.firstFrameMs < 0) {
            std::printf("%-10s run %d: no frame reported\n", label, i);
            continue;
        }
        frames.push_back(r.firstFrameMs);
        rss.push_back(r.peakRssKb / 1024.0);
    }
    std::printf("%-10s first frame median %.1f ms (min %.1f, max %.1f)   peak RSS median %.1f MB   runs %zu\n",
                label, median(frames),
                frames.empty() ? 0 : *std::min_element(frames.begin(), frames.end()),
                frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end()), median(rss),
                frames.size());
    std::printf("FIGURE startup-%s-first-frame-ms %.1f\nFIGURE startup-%s-peak-rss-mb %.1f\n", label,
                median(frames), label, median(rss));
}

} // namespace

int main(int argc, char **argv)
{
    const std::string client = argc > 1 ? argv[1] : ORVEX_CLIENT_BINARY;
    char home[] = "/tmp/orvex-bench-startup-XXXXXX";
    if (!mkdtemp(home))
        return 1;
    const std::string h = home;
    // A private home (signed out: the start screen) and a session bus that
    // does not exist, so nothing is auto-launched and nothing real is touched.
    const std::vector<std::string> common = {
        "HOME=" + h, "XDG_CONFIG_HOME=" + h + "/config", "XDG_DATA_HOME=" + h + "/data",
        "XDG_CACHE_HOME=" + h + "/cache", "XDG_RUNTIME_DIR=" + h,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + h + "/no-bus", "ORVEX_BENCH_FIRST_FRAME=1"};

    auto offscreen = common;
    offscreen.push_back("QT_QPA_PLATFORM=offscreen");
    series("offscreen", client, offscreen);
    if (std::getenv("DISPLAY")) {
        auto xcb = common;
        xcb.push_back("QT_QPA_PLATFORM=xcb");
        series("xcb", client, xcb);
    } else {
        std::printf("xcb        skipped: no DISPLAY (run under xvfb-run for it)\n");
    }
    std::string cleanup = "rm -rf '" + h + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
