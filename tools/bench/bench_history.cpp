// history-folder: a backup folder as months of daily backups leave it, for
// measuring `mzt500-cli history` (tools/bench/history-bench runs both).
#include "bench_recorder.h"

#include "mztarchive.h"
#include "recorder_backup.h"

#include <QDir>

namespace {

int historyFolder(const QStringList& args)
{
    const QString out = bench::option(args, QStringLiteral("out"));
    const int backups =
        bench::option(args, QStringLiteral("backups"), QStringLiteral("500")).toInt();
    if (out.isEmpty() || backups < 1 || !QDir().mkpath(out)) {
        std::fprintf(stderr, "history-folder needs --out=DIR and --backups=N from 1 on\n");
        return 2;
    }
    std::map<std::uint16_t, QByteArray> files = bench::wire::recorderFiles();
    const QDateTime first(QDate(2025, 1, 1), QTime(20, 0));
    qint64 bytes = 0;
    for (int n = 0; n < backups; ++n) {
        // Between two backups a show or two was recorded again: two
        // sequences change, at their length, in content only.
        for (const int id : {n % 64 + 1, (n * 7) % 64 + 1}) {
            QByteArray& file = files[std::uint16_t(id)];
            if (file.size() > 16)
                file[16 + n % (file.size() - 16)] = char(file[16 + n % (file.size() - 16)] + 1);
        }
        MZTArchive archive(
            backup::freePath(out, backup::fileName(QStringLiteral("KV000001"), first.addDays(n))));
        archive.setRecorder({QStringLiteral("KV000001"), QString()});
        for (const auto& [number, content] : files) {
            auto* entry = new ArchiveEntry;
            const int id = bench::wire::idOfFileNumber(number);
            entry->setId(id);
            entry->setType(id == mzt500::SettingsId ? mzt500::SettingsRecord
                                                    : mzt500::SequenceRecord);
            entry->setName(id == mzt500::SettingsId
                               ? QStringLiteral("SETTINGS")
                               : QStringLiteral("SEQUENCE %1").arg(id, 2, 10, QLatin1Char('0')));
            entry->appendContent(content.constData(), content.size());
            archive.addEntry(entry);
        }
        if (!archive.save()) {
            std::fprintf(stderr, "cannot save %s: %s\n", qPrintable(archive.fileName()),
                         qPrintable(archive.errorString()));
            return 1;
        }
        bytes += QFileInfo(archive.fileName()).size();
    }
    std::printf("history-folder backups=%d files=%zu bytes=%lld\n", backups, files.size(),
                static_cast<long long>(bytes));
    return 0;
}

MZT_BENCH_COMMAND("history-folder", "--out=DIR [--backups=500]", historyFolder);

} // namespace
