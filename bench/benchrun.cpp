// benchrun: runs every benchmark against its peers and prints one table.
//
//   benchrun [--runs N] [--smoke] [--only PART,...]
//
// PART: download, upload, small, memory, bringup (default: all).
//
// Every measurement runs in a child process of its own, so that its peak
// resident set (wait4's rusage) is its own. Within one run (round) each
// variant is measured right after its peers, in an order that rotates from
// round to round; a figure is the median over the rounds, and a ratio is the
// median of the per-round ratios: on a shared, noisy machine the pairing is
// what makes a ratio mean something.
//
// --smoke: tiny bodies, one round, a few cycles; checks that everything runs
// and moves the right bytes, and times nothing that matters.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

struct Sample
{
    bool ok = false;
    double seconds = 0; // the transfer's own time, as the program measured it
    long long bytes = 0;
    long rssKiB = 0;
    int exitCode = -1;
    double cpuSeconds = 0; // user + system time of the whole child
    std::string out;
};

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Runs argv, returns its stdout, its exit status and its peak RSS.
Sample runChild(const Args &argv)
{
    Sample s;
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return s;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        std::vector<char *> cargv;
        for (const auto &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        std::fprintf(stderr, "benchrun: cannot run %s: %s\n", cargv[0], std::strerror(errno));
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    ssize_t r;
    while ((r = read(pipefd[0], buf, sizeof buf)) > 0)
        s.out.append(buf, size_t(r));
    close(pipefd[0]);
    int status = 0;
    rusage ru {};
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) { }
    s.rssKiB = ru.ru_maxrss;
    s.cpuSeconds
        = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    s.ok = s.exitCode == 0;
    if (!s.ok && s.exitCode != 77)
        std::fprintf(
            stderr, "benchrun: failed (status %d): %s ...\n", status, argv.size() > 1 ? argv[1].c_str() : "");
    return s;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string dirOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool makeFile(const std::string &path, long long size)
{
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + 7) & 0xff);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    for (long long left = size; left > 0;) {
        const size_t n = size_t(std::min<long long>(left, (long long)block.size()));
        if (std::fwrite(block.data(), 1, n, f) != n) {
            std::fclose(f);
            return false;
        }
        left -= (long long)n;
    }
    return std::fclose(f) == 0;
}

struct Config
{
    std::string bin; // directory of benchtransfer, benchserver, benchconnect
    std::string launchers;
    std::string gprsSim;
    std::string tmp;
    std::string base; // http://127.0.0.1:PORT
    int runs = 5;
    bool smoke = false;
    std::string only; // comma-separated parts to run; empty: all
    // --beside DIR: another build's benchtransfer (the other Qt), measured in
    // the same rounds; library rows are then tagged with each one's Qt.
    std::string beside;
    std::string ownTag, besideTag;
};

Config g;
bool g_failed = false;

// One variant of one measurement: how to run it and how to read its output.
struct Variant
{
    std::string name;
    Args argv;
    bool curl = false; // output "time_total size http_code" per transfer
    long long expectBytes = 0; // body bytes the run must move (0: unchecked)
};

Sample measure(const Variant &v)
{
    Sample s = runChild(v.argv);
    if (!s.ok) {
        g_failed = true;
        return s;
    }
    std::istringstream in(s.out);
    if (v.curl) {
        double t;
        long long b;
        int code;
        s.seconds = 0;
        s.bytes = 0;
        while (in >> t >> b >> code) {
            if (code != 200)
                s.ok = false;
            s.seconds += t;
            s.bytes += b;
        }
    } else {
        in >> s.seconds >> s.bytes;
    }
    if (v.expectBytes && s.bytes != v.expectBytes) {
        std::fprintf(
            stderr, "benchrun: %s moved %lld bytes, expected %lld\n", v.name.c_str(), s.bytes, v.expectBytes);
        s.ok = false;
    }
    if (!s.ok || s.seconds <= 0) {
        s.ok = false;
        g_failed = true;
    }
    return s;
}

struct Row
{
    std::string measurement;
    std::string variant;
    double value = NAN; // MB/s or transfers/s
    std::string unit;
    double ratio = NAN; // to curl
    double rssMiB = NAN;
    double cpu = NAN; // seconds of CPU of the child, start-up included
    std::string note;
};

std::vector<Row> g_rows;

// Runs the variants g.runs times, rotating the order; the first variant is
// the reference (curl). perTransfer: report transfers/s for `count` transfers.
std::vector<Row> compare(const std::string &measurement, const std::vector<Variant> &vs, int count,
    const std::vector<std::string> &cleanup = {})
{
    const size_t n = vs.size();
    std::vector<std::vector<double>> rate(n), ratio(n), rss(n), cpu(n);
    for (int round = 0; round < g.runs; ++round) {
        std::fprintf(stderr, "%s: run %d of %d\n", measurement.c_str(), round + 1, g.runs);
        std::vector<double> r(n, NAN);
        for (size_t k = 0; k < n; ++k) {
            const size_t i = (k + size_t(round)) % n;
            const Sample s = measure(vs[i]);
            for (const auto &f : cleanup)
                unlink(f.c_str());
            if (!s.ok)
                continue;
            r[i] = count > 0 ? count / s.seconds : s.bytes / s.seconds / 1e6;
            rate[i].push_back(r[i]);
            rss[i].push_back(s.rssKiB / 1024.0);
            cpu[i].push_back(s.cpuSeconds);
        }
        for (size_t i = 0; i < n; ++i)
            if (!std::isnan(r[i]) && !std::isnan(r[0]))
                ratio[i].push_back(r[i] / r[0]);
    }
    std::vector<Row> rows;
    for (size_t i = 0; i < n; ++i) {
        Row row;
        row.measurement = measurement;
        row.variant = vs[i].name;
        row.value = median(rate[i]);
        row.unit = count > 0 ? "/s" : "MB/s";
        row.ratio = median(ratio[i]);
        row.rssMiB = median(rss[i]);
        row.cpu = median(cpu[i]);
        rows.push_back(row);
    }
    return rows;
}

void add(std::vector<Row> rows)
{
    for (auto &r : rows)
        g_rows.push_back(r);
}

Args transfer(const std::string &dir, const std::string &variant, const std::string &url,
    const std::string &path, int count = 1)
{
    return { g.bin + "/benchtransfer", dir, variant, url, path, std::to_string(count) };
}

// A library variant, and with --beside the same run of the other build.
std::vector<Variant> lib(const std::string &name, const Args &argv, long long expectBytes)
{
    if (g.beside.empty())
        return { { name, argv, false, expectBytes } };
    Args other = argv;
    other[0] = g.beside + "/benchtransfer";
    return { { name + ", " + g.ownTag, argv, false, expectBytes },
        { name + ", " + g.besideTag, other, false, expectBytes } };
}

std::vector<Variant> join(std::initializer_list<std::vector<Variant>> parts)
{
    std::vector<Variant> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// "Qt 5" or "Qt 6": the major version of the Qt a benchtransfer runs on.
std::string qtTag(const std::string &dir)
{
    const Sample s = runChild({ dir + "/benchtransfer", "qt" });
    return s.ok ? "Qt " + s.out.substr(0, s.out.find('.')) : std::string();
}

Args curlGet(const std::string &url, const std::string &dest)
{
    return { "curl", "-s", "-o", dest, "-w", "%{time_total} %{size_download} %{http_code}\\n", url };
}

Args curlPost(const std::string &url, const std::string &file)
{
    // "Expect:" off: our client sends the body at once, so curl does too.
    return { "curl", "-s", "-o", "/dev/null", "-H", "Content-Type: application/vnd.wap.mms-message", "-H",
        "Expect:", "--data-binary", "@" + file, "-w", "%{time_total} %{size_upload} %{http_code}\\n", url };
}

// curl with the same URL COUNT times in one invocation (one connection).
std::string curlConfig(const std::string &name, const std::string &url, int count)
{
    const std::string path = g.tmp + "/" + name;
    std::ofstream f(path);
    for (int i = 0; i < count; ++i)
        f << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
    return path;
}

std::string mib(long long bytes)
{
    char buf[32];
    if (bytes >= (1 << 20))
        std::snprintf(buf, sizeof buf, "%lld MiB", bytes >> 20);
    else
        std::snprintf(buf, sizeof buf, "%lld KiB", bytes >> 10);
    return buf;
}

void downloads(long long size)
{
    const std::string url = g.base + "/blob/" + std::to_string(size);
    const std::string file = g.tmp + "/download.out";
    // The network-manager receiver refuses answers past its build-time limit
    // (it holds them in memory): it downloads the largest body it accepts.
    const long long nmSize = std::min<long long>(size, BENCH_NM_MAX_ANSWER);
    const std::string nmUrl = g.base + "/blob/" + std::to_string(nmSize);
    const std::string nmName = nmSize < size ? "MmsReceiverNM, " + mib(nmSize) : "MmsReceiverNM";
    for (const std::string dest : { "null", "file" }) {
        const std::string path = dest == "null" ? "null" : file;
        const std::string curlDest = dest == "null" ? "/dev/null" : file;
        const std::vector<Variant> vs = join({
            { { "curl", curlGet(url, curlDest), true, size } },
            lib("MmsReceiver", transfer("get", "socket", url, path), size),
            lib(nmName, transfer("get", "nm", nmUrl, path), nmSize),
            { { "plain socket", transfer("get", "raw", url, path), false, size } },
        });
        add(compare(
            "download " + mib(size) + (dest == "null" ? " -> /dev/null" : " -> file"), vs, 0, { file }));
    }
}

void uploads(long long size)
{
    const std::string url = g.base + "/sink";
    const std::string pdu = g.tmp + "/pdu-" + std::to_string(size);
    makeFile(pdu, size);
    const std::vector<Variant> vs = join({
        { { "curl", curlPost(url, pdu), true, size } },
        lib("MmsSender", transfer("post", "socket", url, pdu), size),
        lib("MmsSenderNM", transfer("post", "nm", url, pdu), size),
        { { "plain socket", transfer("post", "raw", url, pdu), false, size } },
    });
    add(compare("upload " + mib(size) + " from a file", vs, 0));
    unlink(pdu.c_str());
}

void smallTransfers(int count, long long size)
{
    const std::string pdu = g.tmp + "/pdu-small";
    makeFile(pdu, size);
    const std::string sink = g.base + "/sink";
    // The URLs and their outputs come from the config file.
    const Args curlPosts = { "curl", "-s", "-H", "Content-Type: application/vnd.wap.mms-message", "-H",
        "Expect:", "--data-binary", "@" + pdu, "-w", "%{time_total} %{size_upload} %{http_code}\\n", "-K",
        curlConfig("posts.curl", sink, count) };
    const std::string what = std::to_string(count) + " x " + std::to_string(size / 1000) + " KB";
    const std::vector<Variant> posts = join({
        { { "curl", curlPosts, true, count * size } },
        lib("MmsSender", transfer("post", "socket", sink, pdu, count), count * size),
        lib("MmsSenderNM", transfer("post", "nm", sink, pdu, count), count * size),
        { { "plain socket", transfer("post", "raw", sink, pdu, count), false, count * size } },
    });
    add(compare("POST " + what + ", one connection", posts, count));

    const std::string blob = g.base + "/blob/" + std::to_string(size);
    const std::vector<Variant> gets = join({
        { { "curl",
            { "curl", "-s", "-w", "%{time_total} %{size_download} %{http_code}\\n", "-K",
                curlConfig("gets.curl", blob, count) },
            true, count * size } },
        lib("MmsReceiver", transfer("get", "socket", blob, "null", count), count * size),
        lib("MmsReceiverNM", transfer("get", "nm", blob, "null", count), count * size),
        { { "plain socket", transfer("get", "raw", blob, "null", count), false, count * size } },
    });
    add(compare("GET " + what + ", one connection", gets, count));
    unlink(pdu.c_str());
}

// Peak RSS of the socket variants with a small and a large body, paired.
void memoryGrowth(long long small, long long large)
{
    const std::string smallPdu = g.tmp + "/pdu-growth-small";
    const std::string largePdu = g.tmp + "/pdu-growth-large";
    makeFile(smallPdu, small);
    makeFile(largePdu, large);
    struct Pair
    {
        std::string name;
        Variant a, b;
    };
    std::vector<Pair> pairs;
    for (const bool get : { true, false }) {
        const auto a = lib(get ? "MmsReceiver" : "MmsSender",
            get ? transfer("get", "socket", g.base + "/blob/" + std::to_string(small), "null")
                : transfer("post", "socket", g.base + "/sink", smallPdu),
            0);
        const auto b = lib(get ? "MmsReceiver" : "MmsSender",
            get ? transfer("get", "socket", g.base + "/blob/" + std::to_string(large), "null")
                : transfer("post", "socket", g.base + "/sink", largePdu),
            0);
        for (size_t i = 0; i < a.size(); ++i)
            pairs.push_back({ a[i].name, a[i], b[i] });
    }
    pairs.push_back(
        { "curl (GET)", { "", curlGet(g.base + "/blob/" + std::to_string(small), "/dev/null"), true },
            { "", curlGet(g.base + "/blob/" + std::to_string(large), "/dev/null"), true } });
    for (const auto &p : pairs) {
        std::vector<double> a, b, d;
        for (int round = 0; round < g.runs; ++round) {
            const Sample sa = measure(p.a);
            const Sample sb = measure(p.b);
            if (!sa.ok || !sb.ok)
                continue;
            a.push_back(sa.rssKiB / 1024.0);
            b.push_back(sb.rssKiB / 1024.0);
            d.push_back((sb.rssKiB - sa.rssKiB) / 1024.0);
        }
        Row row;
        row.measurement = "peak RSS growth " + mib(small) + " -> " + mib(large);
        row.variant = p.name;
        row.value = median(d);
        row.unit = "MiB";
        row.rssMiB = median(b);
        char note[96];
        std::snprintf(note, sizeof note, "%.1f -> %.1f MiB", median(a), median(b));
        row.note = note;
        g_rows.push_back(row);
    }
    unlink(smallPdu.c_str());
    unlink(largePdu.c_str());
}

// Connection bring-up inside a private network namespace, on a private bus
// with the GPRS simulator. benchconnect alternates the library and the floor.
void bringUp(int cycles)
{
    const std::string program = g.bin + "/benchconnect";
    if (access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "benchrun: %s not built, bring-up skipped\n", program.c_str());
        return;
    }
    // The peer answers the name on the address the simulator gives as DNS.
    Args argv = { g.launchers + "/in-netns", "--veth", "gprs0", "192.168.77.1/24", "--",
        g.launchers + "/with-bus", "--sim", g.gprsSim, "--interface", "gprs0", "--address", "10.77.0.2",
        "--primary-dns", "192.168.77.1", "--secondary-dns", "0.0.0.0", "--", program, std::to_string(cycles),
        "192.168.77.1", "mmsc.operator.test" };
    const Sample s = runChild(argv);
    if (s.exitCode == 77) {
        std::fprintf(stderr, "benchrun: no private network namespace here, bring-up skipped\n");
        return;
    }
    if (!s.ok) {
        g_failed = true;
        return;
    }
    // Per cycle: "impl OPEN_MS CLOSE_MS", "floor ...", "qfloor ...", "named ..." and "namedfloor ...".
    std::map<std::string, std::vector<double>> open, close, total, ratio, extra;
    std::map<std::string, double> cycle;
    std::istringstream in(s.out);
    std::string who;
    double o, c;
    while (in >> who >> o >> c) {
        open[who].push_back(o);
        close[who].push_back(c);
        total[who].push_back(o + c);
        cycle[who] = o + c;
        if (who == "qfloor") {
            ratio["impl"].push_back(cycle["impl"] / cycle["floor"]);
            ratio["qfloor"].push_back(cycle["qfloor"] / cycle["floor"]);
            ratio["impl/qfloor"].push_back(cycle["impl"] / cycle["qfloor"]);
        } else if (who == "namedfloor") {
            ratio["named"].push_back(cycle["named"] / cycle["namedfloor"]);
            ratio["namedfloor"].push_back(1.0);
            // What the name costs the open, in the library and in the floor.
            extra["named"].push_back(open["named"].back() - open["impl"].back());
            extra["namedfloor"].push_back(open["namedfloor"].back() - open["floor"].back());
        }
    }
    const std::string what = "bring-up: open + close, " + std::to_string(cycles) + " cycles";
    for (const std::string w : { "floor", "qfloor", "impl" }) {
        Row row;
        row.measurement = what;
        row.variant = w == "impl" ? "MmsConnectionImpl"
            : w == "floor"        ? "floor (posix_spawn)"
                                  : "floor (QProcess)";
        row.value = median(total[w]);
        row.unit = "ms";
        row.ratio = w == "floor" ? 1.0 : median(ratio[w]);
        char note[128];
        std::snprintf(note, sizeof note, "open %.2f ms, close %.2f ms", median(open[w]), median(close[w]));
        row.note = note;
        if (w == "impl") {
            std::snprintf(note, sizeof note, "; %.2fx the QProcess floor", median(ratio["impl/qfloor"]));
            row.note += note;
        }
        g_rows.push_back(row);
    }
    if (total["named"].empty())
        return;
    const std::string named = "bring-up, host-name target, " + std::to_string(cycles) + " cycles";
    for (const std::string w : { "namedfloor", "named" }) {
        Row row;
        row.measurement = named;
        row.variant = w == "named" ? "MmsConnectionImpl" : "floor + 1 DNS query";
        row.value = median(total[w]);
        row.unit = "ms";
        row.ratio = median(ratio[w]);
        char note[128];
        std::snprintf(note, sizeof note, "open %.2f ms (%+.2f ms over the address), close %.2f ms",
            median(open[w]), median(extra[w]), median(close[w]));
        row.note = note;
        g_rows.push_back(row);
    }
}

void printTable()
{
    std::printf("\n%-40s %-26s %11s %6s %9s %6s  %s\n", "measurement", "variant", "median", "x curl",
        "peak RSS", "CPU s", "");
    std::string last;
    for (const auto &r : g_rows) {
        if (r.measurement != last)
            std::printf("%s\n", std::string(126, '-').c_str());
        char value[32], ratio[16], rss[16], cpu[16];
        if (std::isnan(r.value))
            std::snprintf(value, sizeof value, "failed");
        else if (r.unit == "MB/s" || r.unit == "/s")
            std::snprintf(value, sizeof value, "%.0f %s", r.value, r.unit.c_str());
        else
            std::snprintf(value, sizeof value, "%.2f %s", r.value, r.unit.c_str());
        if (std::isnan(r.ratio))
            ratio[0] = 0;
        else
            std::snprintf(ratio, sizeof ratio, "%.2f", r.ratio);
        if (std::isnan(r.rssMiB))
            rss[0] = 0;
        else
            std::snprintf(rss, sizeof rss, "%.1f MiB", r.rssMiB);
        if (std::isnan(r.cpu))
            cpu[0] = 0;
        else
            std::snprintf(cpu, sizeof cpu, "%.2f", r.cpu);
        std::printf("%-40s %-26s %11s %6s %9s %6s  %s\n", r.measurement == last ? "" : r.measurement.c_str(),
            r.variant.c_str(), value, ratio, rss, cpu, r.note.c_str());
        last = r.measurement;
    }
    std::printf("%s\n", std::string(126, '-').c_str());
    if (g.runs > 1)
        std::printf("median of %d runs; \"x curl\" is the median of the per-run ratios (bring-up: of the "
                    "per-cycle ratios to the posix_spawn floor for the same target)\n",
            g.runs);
}

void printMachine()
{
    std::ifstream cpu("/proc/cpuinfo");
    std::string line, model;
    while (std::getline(cpu, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    std::ifstream mem("/proc/meminfo");
    std::string key;
    long kb = 0;
    mem >> key >> kb;
    double load[3] = { 0, 0, 0 };
    getloadavg(load, 3);
    std::printf("machine: %ld cores, %s, %.1f GiB; load average at start %.2f\n",
        sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), kb / 1048576.0, load[0]);
    std::printf("library: %s (%s)", g.ownTag.c_str(), g.bin.c_str());
    if (!g.beside.empty())
        std::printf(", beside %s (%s)", g.besideTag.c_str(), g.beside.c_str());
    std::printf("\n");
}

pid_t startServer(int *port)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        execl((g.bin + "/benchserver").c_str(), "benchserver", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    FILE *f = fdopen(pipefd[0], "r");
    if (!f || std::fscanf(f, "ready %d", port) != 1)
        return -1;
    std::fclose(f);
    return pid;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--smoke"))
            g.smoke = true;
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            g.runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            g.only = std::string(",") + argv[++i] + ",";
        else if (!std::strcmp(argv[i], "--beside") && i + 1 < argc)
            g.beside = argv[++i];
        else {
            std::fprintf(stderr,
                "usage: benchrun [--runs N] [--smoke] "
                "[--only download,upload,small,memory,bringup] [--beside OTHER_BUILD/bench]\n");
            return 2;
        }
    }
    if (g.smoke)
        g.runs = 1;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    g.bin = dirOf(self);
    g.launchers = BENCH_LAUNCHERS;
    g.gprsSim = BENCH_GPRS_SIM;
    g.ownTag = qtTag(g.bin);
    if (!g.beside.empty()) {
        g.besideTag = qtTag(g.beside);
        if (g.besideTag.empty() || g.besideTag == g.ownTag) {
            std::fprintf(
                stderr, "benchrun: %s/benchtransfer is not a build for another Qt\n", g.beside.c_str());
            return 2;
        }
    }

    char tmpl[] = "/tmp/tarnex-bench.XXXXXX";
    const char *tmp = mkdtemp(tmpl);
    if (!tmp) {
        std::perror("benchrun: mkdtemp");
        return 2;
    }
    g.tmp = tmp;
    // No settings file of the user's: the built-in identity, as on a fresh phone.
    setenv("HOME", g.tmp.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);

    int port = 0;
    const pid_t server = startServer(&port);
    if (server < 0) {
        std::fprintf(stderr, "benchrun: benchserver did not start\n");
        return 2;
    }
    g.base = "http://127.0.0.1:" + std::to_string(port);

    printMachine();
    const double start = now();
    auto part = [](const char *name) {
        return g.only.empty() || g.only.find(std::string(",") + name + ",") != std::string::npos;
    };
    if (part("download"))
        downloads(g.smoke ? 1 << 20 : 256LL << 20);
    if (part("upload"))
        uploads(g.smoke ? 1 << 20 : 64LL << 20);
    if (part("small"))
        smallTransfers(g.smoke ? 20 : 1000, 300000);
    if (part("memory"))
        memoryGrowth(g.smoke ? 64 << 10 : 1 << 20, g.smoke ? 1 << 20 : 256LL << 20);
    if (part("bringup"))
        bringUp(g.smoke ? 2 : 50);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    printTable();
    std::printf("took %.0f s%s\n", now() - start, g_failed ? "; SOME RUNS FAILED (see above)" : "");
    std::string rm = "rm -rf '" + g.tmp + "'";
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "benchrun: could not remove %s\n", g.tmp.c_str());
    return g_failed ? 1 : 0;
}
