#include "Table.h"

#include <QFile>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Samples
{
    std::vector<double> seconds, peakKiB, stallMs, faults;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool isQuillora(const QString &tool)
{
    return tool.startsWith(QLatin1String("quillora"));
}

struct Results
{
    // Scenario, then tool, both in the order first seen.
    QStringList scenarios;
    QMap<QString, QStringList> tools;
    QMap<QString, Samples> samples;
};

bool read(const QString &path, Results &results)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QStringList &scenarios = results.scenarios;
    QMap<QString, QStringList> &tools = results.tools;
    QMap<QString, Samples> &samples = results.samples;
    while (!file.atEnd()) {
        const QStringList f = QString::fromUtf8(file.readLine()).trimmed().split(u'\t');
        if (f.size() < 5)
            continue;
        if (!scenarios.contains(f[0]))
            scenarios << f[0];
        if (!tools[f[0]].contains(f[1]))
            tools[f[0]] << f[1];
        Samples &s = samples[f[0] + u'\t' + f[1]];
        s.seconds.push_back(f[2].toDouble());
        s.peakKiB.push_back(f[3].toDouble());
        bool isNumber = false;
        const double stall = f[4].toDouble(&isNumber);
        if (isNumber)
            s.stallMs.push_back(stall);
        if (f.size() > 5)
            s.faults.push_back(f[5].toDouble());
    }
    return true;
}

} // namespace

double medianOf(const QString &path, const QString &scenario, const QString &tool,
                const QString &column)
{
    Results results;
    if (!read(path, results) || !results.samples.contains(scenario + u'\t' + tool))
        return -1;
    const Samples &s = results.samples[scenario + u'\t' + tool];
    if (column == QLatin1String("peakKiB"))
        return median(s.peakKiB);
    if (column == QLatin1String("stallMs"))
        return median(s.stallMs);
    if (column == QLatin1String("faults"))
        return median(s.faults);
    return median(s.seconds);
}

bool printTable(const QString &path)
{
    Results results;
    if (!read(path, results))
        return false;
    const QStringList &scenarios = results.scenarios;
    QMap<QString, QStringList> &tools = results.tools;
    QMap<QString, Samples> &samples = results.samples;

    std::printf("%-10s %-40s %4s %10s %9s %10s %10s\n", "", "tool", "runs", "median s", "peak MB",
                "stall ms", "faults");
    for (const QString &scenario : scenarios) {
        const QStringList &names = tools[scenario];
        for (const QString &tool : names) {
            const Samples &s = samples[scenario + u'\t' + tool];
            const double stall = median(s.stallMs);
            std::printf(
                "%-10s %-40s %4zu %10.3f %9.1f %10s %10.0f\n", qPrintable(scenario),
                qPrintable(tool), s.seconds.size(), median(s.seconds), median(s.peakKiB) / 1024.0,
                stall < 0 ? "-" : qPrintable(QString::number(stall, 'f', 1)), median(s.faults));
        }
        for (const QString &ours : names) {
            if (!isQuillora(ours))
                continue;
            for (const QString &peer : names) {
                if (isQuillora(peer))
                    continue;
                const double a = median(samples[scenario + u'\t' + ours].seconds);
                const double b = median(samples[scenario + u'\t' + peer].seconds);
                std::printf("%-10s   ratio %s / %s = %.2f\n", "", qPrintable(ours),
                            qPrintable(peer), b > 0 ? a / b : 0.0);
            }
        }
    }
    return true;
}
