// Saves two large archives in turn to the file named on the command line,
// for ever, and reports on stdout when each save starts and ends ("saving 0",
// "saved 0", "saving 1", ...).
// The crash test kills it at random moments.
#include "archivetestdata.h"
#include "mztarchive.h"

#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
        return 2;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("mzt.archive.debug=false"));
    const QString path = QString::fromLocal8Bit(argv[1]);
    MZTArchive archives[2] = {MZTArchive(path), MZTArchive(path)};
    testdata::fillBig(archives[0], 0);
    testdata::fillBig(archives[1], 1);
    for (unsigned long round = 0;; ++round) {
        const int generation = int(round % 2);
        std::printf("saving %d\n", generation);
        std::fflush(stdout);
        if (!archives[generation].save()) {
            std::fprintf(stderr, "save failed\n");
            return 1;
        }
        std::printf("saved %d\n", generation);
        std::fflush(stdout);
    }
}
