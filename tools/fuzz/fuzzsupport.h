#pragma once

// What every harness shares: a Qt application for the code that needs one, Qt's log kept quiet (every refusal is
// logged, and the fuzzer would spend its time writing them), and the seed corpus each harness builds from real
// messages. With VESK_FUZZ_SEEDS=<folder> a harness writes its seeds there and exits instead of fuzzing.

#include "net/parameters.h"
#include "net/wire.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace Fuzz {

// Defined by each harness: real inputs of its kind.
QList<QByteArray> seeds();

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

inline QByteArray record(const Vesk::Parameters& parameters)
{
    return Vesk::parametersToByteArray(parameters);
}

// A broken expectation: libFuzzer reports the input that led here.
inline void check(bool holds, const char* what)
{
    if (!holds) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

inline void start(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("VESK_FUZZ_VERBOSE"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    static QCoreApplication app(*argc, *argv);
    const QString folder = qEnvironmentVariable("VESK_FUZZ_SEEDS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    int n = 0;
    for (const QByteArray& seed : seeds()) {
        QFile file(QStringLiteral("%1/seed-%2").arg(folder).arg(++n));
        if (!file.open(QIODevice::WriteOnly) || file.write(seed) != seed.size())
            std::exit(1);
    }
    std::exit(0);
}

} // namespace Fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    Fuzz::start(argc, argv);
    return 0;
}
