// Settings store figures: save and load of one storage section with 1,000, 10,000 and 100,000 lines
// through the registry storage manager, in a temporary config home; then the store's own edges: many
// deletions in one update, a walk over many keys, and a file with a very deep key path. The growth ratio
// compares each size with the one ten times smaller (10 means linear). Each figure is the best of the
// repetitions, as elapsed time and as this thread's CPU time (the machine may be shared: the target is judged
// on the CPU time, which other programs do not inflate). Then 1,000 writes
// through the INI store.
//
//   settings_store [repetitions per size, default 3]

#include "persistence/PropStorage.h"
#include "persistence/PropStorageManager.h"
#include "runtime/IniFile.h"
#include "runtime/Registry.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the size of the stream it is handed instead of applying it.
class TCountingManager : public TRegPropStorageManEh {
public:
    using TRegPropStorageManEh::TRegPropStorageManEh;
    void LoadPropertiesFromStream(QIODevice& stream, TPropStorageEh*) override {
        Bytes = stream.readAll().size();
    }
    qsizetype Bytes = 0;
};

QByteArray SectionText(int lines) {
    QByteArray text = "object BenchForm: TBenchForm\r\n";
    for (int i = 0; i < lines - 2; ++i)
        text += "  Value" + QByteArray::number(i) + " = 'text of line " + QByteArray::number(i) + "'\r\n";
    text += "end\r\n";
    return text;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// 1,000 writes of new keys into an INI file (ten sections of 100 keys, each write a change that reaches
// the file), then one read of every key through a second object, which must see them all. Each write
// replaces the file and waits until the disk has it, so on a disk the figure is mostly the disk's; the
// store's own cost is measured on a memory file system, where there is one.
bool BenchIniWrites(const QString& folder, int reps, const char* where, bool judged) {
    constexpr int kWrites = 1000;
    double elapsed = 1e300, cpu = 1e300;
    for (int r = 0; r < reps; ++r) {
        const QString path = folder + QStringLiteral("/bench%1.ini").arg(r);
        TIniFile ini(path);
        const double c0 = CpuMs();
        const auto t0 = Clock::now();
        for (int i = 0; i < kWrites; ++i)
            ini.WriteString(QStringLiteral("Section%1").arg(i % 10), QStringLiteral("Key%1").arg(i),
                            QStringLiteral("value of key %1").arg(i));
        elapsed = std::min(elapsed, Ms(Clock::now() - t0));
        cpu = std::min(cpu, CpuMs() - c0);
        TIniFile check(path);
        for (int i = 0; i < kWrites; ++i)
            if (check.ReadString(QStringLiteral("Section%1").arg(i % 10), QStringLiteral("Key%1").arg(i),
                                 QString()) != QStringLiteral("value of key %1").arg(i)) {
                std::fprintf(stderr, "INI key %d not found after the writes\n", i);
                return false;
            }
    }
    std::printf("1,000 INI writes %s: %9.2f ms elapsed %9.2f ms cpu", where, elapsed, cpu);
    if (judged)
        std::printf("  (target < 1 s cpu: %s)", cpu < 1000 ? "met" : "not met");
    std::printf("\n");
    return true;
}

bool RunIniBench(const QString& diskFolder, int reps) {
    QTemporaryDir memory(QStringLiteral("/dev/shm/settings_store_XXXXXX"));
    if (memory.isValid() && !BenchIniWrites(memory.path(), reps, "in memory", true))
        return false;
    return BenchIniWrites(diskFolder, 1, "on disk  ", !memory.isValid());
}

// One figure of the store's edges against its target, judged on CPU time.
void Report(const char* what, double elapsed, double cpu, double targetMs) {
    std::printf("%-52s %9.2f ms elapsed %9.2f ms cpu  (target < %g ms cpu: %s)\n", what, elapsed, cpu,
                targetMs, cpu < targetMs ? "met" : "not met");
}

template <class F> void Time(const char* what, double targetMs, F&& f) {
    const double c0 = CpuMs();
    const auto t0 = Clock::now();
    f();
    Report(what, Ms(Clock::now() - t0), CpuMs() - c0, targetMs);
}

int CountKeys(TRegistry& reg, const QString& path) {
    int n = 1;
    reg.OpenKey(path, false);
    for (const QString& name : reg.GetKeyNames())
        n += CountKeys(reg, path + QLatin1Char('\\') + name);
    return n;
}

// Deleting values in ascending order (as the storage manager does) and keys one by one in one update,
// walking a tree of keys, and parsing a file whose one header holds a 32,000-level path.
void StoreEdges() {
    TRegistry reg;
    reg.BeginUpdate();
    reg.OpenKey(QStringLiteral("\\Software\\Edges\\Values"), true);
    for (int i = 0; i < 100000; ++i)
        reg.WriteString(QStringLiteral("Line%1").arg(i, 10, 10, QLatin1Char('0')), QStringLiteral("x"));
    for (int i = 0; i < 200; ++i)
        for (int j = 0; j < 100; ++j)
            reg.CreateKey(QStringLiteral("\\Software\\Edges\\Keys\\K%1\\S%2").arg(i).arg(j));
    reg.EndUpdate();

    Time("walk 20,000 keys with GetKeyNames", 500, [&] {
        reg.BeginRead();
        const int keys = CountKeys(reg, QStringLiteral("\\Software\\Edges\\Keys")) - 1;
        reg.EndRead();
        if (keys != 20200)
            std::fprintf(stderr, "walked %d keys\n", keys);
    });
    Time("delete 100,000 values in one update", 1000, [&] {
        reg.BeginUpdate();
        reg.OpenKey(QStringLiteral("\\Software\\Edges\\Values"), false);
        for (int i = 0; i < 100000; ++i)
            reg.DeleteValue(QStringLiteral("Line%1").arg(i, 10, 10, QLatin1Char('0')));
        reg.EndUpdate();
    });
    Time("delete 20,000 keys one by one in one update", 500, [&] {
        reg.BeginUpdate();
        for (int i = 0; i < 200; ++i)
            for (int j = 0; j < 100; ++j)
                reg.DeleteKey(QStringLiteral("\\Software\\Edges\\Keys\\K%1\\S%2").arg(i).arg(j));
        reg.EndUpdate();
    });

    const QByteArray deep =
        "[HKEY_CURRENT_USER\\" + QByteArray("a\\").repeated(32000) + "a]\n\"v\"=\"1\"\n"; // 64 KB
    TRegistryData data;
    bool refused = false;
    Time("parse 64 KB with a 32,000-level key path (refused)", 50,
         [&] { refused = data.Parse(deep) && !data.FindKey(HKEY_CURRENT_USER, QStringLiteral("a")); });
    if (!refused)
        std::fprintf(stderr, "the 32,000-level path was not refused\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());

    TCountingManager manager;
    manager.SetPath(QStringLiteral("Software\\Varnholt\\Bench"));
    TPropStorageEh storage;
    double lastSave = 0, lastLoad = 0;
    for (int lines : {1000, 10000, 100000}) {
        storage.SetSection(QStringLiteral("Section%1").arg(lines));
        const QByteArray text = SectionText(lines);
        double save = 1e300, load = 1e300, saveCpu = 1e300, loadCpu = 1e300;
        for (int r = 0; r < reps; ++r) {
            const double c0 = CpuMs();
            auto t0 = Clock::now();
            manager.WritePropertiesText(&storage, text);
            auto t1 = Clock::now();
            const double c1 = CpuMs();
            manager.Bytes = 0;
            manager.ReadProperties(&storage);
            auto t2 = Clock::now();
            const double c2 = CpuMs();
            saveCpu = std::min(saveCpu, c1 - c0);
            loadCpu = std::min(loadCpu, c2 - c1);
            if (manager.Bytes != text.size()) {
                std::fprintf(stderr, "load gave %lld bytes, saved %lld\n", (long long)manager.Bytes,
                             (long long)text.size());
                return 1;
            }
            save = std::min(save, Ms(t1 - t0));
            load = std::min(load, Ms(t2 - t1));
        }
        std::printf("save %6d lines: %9.2f ms elapsed %9.2f ms cpu", lines, save, saveCpu);
        if (lastSave > 0)
            std::printf("  growth x%.1f for 10x lines", saveCpu / lastSave);
        std::printf("\n");
        std::printf("load %6d lines: %9.2f ms elapsed %9.2f ms cpu", lines, load, loadCpu);
        if (lastLoad > 0)
            std::printf("  growth x%.1f for 10x lines", loadCpu / lastLoad);
        if (lines == 10000)
            std::printf("  (target < 50 ms cpu: %s)", loadCpu < 50 ? "met" : "not met");
        std::printf("\n");
        lastSave = saveCpu;
        lastLoad = loadCpu;
    }
    StoreEdges();
    return RunIniBench(home.path(), reps) ? 0 : 1;
}
