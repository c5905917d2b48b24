// The folders of the product's sources (tests, fuzz targets and tools left
// out) form layers: the folder graph read from the #include "..." lines has
// no cycle. Includes name headers without their folder, so a header's folder
// is found by its name, and a name used in two folders is a fault of its own.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

// The folders left out of the product: they sit on top of everything.
const QStringList kOutsideProduct = {QStringLiteral("tests"), QStringLiteral("fuzz"),
                                     QStringLiteral("tools")};

struct FolderGraph {
    // folder -> folder it includes from -> one include that shows it
    QMap<QString, QMap<QString, QString>> edges;
    // header names found in more than one folder
    QStringList ambiguous;

    QString text() const
    {
        QString out;
        for (auto it = edges.cbegin(); it != edges.cend(); ++it)
            out += it.key() + QStringLiteral(" -> ")
                + (it.value().isEmpty() ? QStringLiteral("(nothing)")
                                        : QStringList(it.value().keys()).join(QStringLiteral(", ")))
                + QLatin1Char('\n');
        return out;
    }
};

// A build folder inside the checkout, finished or cut short while it was
// being configured, holds generated sources that belong to no layer.
bool isBuildTree(const QString& path)
{
    return QFile::exists(path + QStringLiteral("/CMakeCache.txt"))
        || QFileInfo(path).fileName() == QStringLiteral("CMakeFiles")
        || QFileInfo(path).fileName().startsWith(QLatin1Char('.'));
}

// Source files of the product, relative to root.
QStringList productSources(const QString& root)
{
    QStringList files;
    const QDir rootDir(root);
    QStringList pending = {root};
    while (!pending.isEmpty()) {
        const QString dir = pending.takeFirst();
        const QDir d(dir);
        for (const QFileInfo& sub : d.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString relative = rootDir.relativeFilePath(sub.filePath());
            if (kOutsideProduct.contains(relative) || isBuildTree(sub.filePath()))
                continue;
            pending << sub.filePath();
        }
        for (const QFileInfo& f :
             d.entryInfoList({QStringLiteral("*.h"), QStringLiteral("*.cpp")}, QDir::Files))
            files << rootDir.relativeFilePath(f.filePath());
    }
    files.sort();
    return files;
}

QString folderOf(const QString& relativePath)
{
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QStringLiteral(".") : relativePath.left(slash);
}

FolderGraph readFolderGraph(const QString& root)
{
    const QStringList files = productSources(root);
    QMap<QString, QString> folderOfHeader;
    FolderGraph graph;
    for (const QString& file : files) {
        graph.edges[folderOf(file)];
        if (!file.endsWith(QStringLiteral(".h")))
            continue;
        const QString name = file.section(QLatin1Char('/'), -1);
        if (folderOfHeader.contains(name) && folderOfHeader[name] != folderOf(file))
            graph.ambiguous << name;
        folderOfHeader[name] = folderOf(file);
    }
    static const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s*\"([^\"]+)\""),
                                            QRegularExpression::MultilineOption);
    for (const QString& file : files) {
        QFile f(root + QLatin1Char('/') + file);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        for (auto it = include.globalMatch(text); it.hasNext();) {
            const QString name = it.next().captured(1).section(QLatin1Char('/'), -1);
            // Generated headers (forms, version) belong to no source folder.
            const auto target = folderOfHeader.constFind(name);
            if (target == folderOfHeader.cend() || *target == folderOf(file))
                continue;
            QString& example = graph.edges[folderOf(file)][*target];
            if (example.isEmpty())
                example = file + QStringLiteral(": ") + name;
        }
    }
    return graph;
}

// The folder graph of the build: a folder's CMakeLists.txt defines its
// targets, and a folder links another when one of its targets names one of
// the other's in target_link_libraries or in its mzt_layer_library call.
// Folders without a build file of their own are listed in unbuilt.
struct LinkGraph {
    FolderGraph graph;
    QStringList unbuilt;
};

LinkGraph readLinkGraph(const QString& root, const QStringList& folders)
{
    static const QRegularExpression defined(
        QStringLiteral("(?:add_(?:library|executable)|mzt_layer_library)\\(\\s*([\\w-]+)"));
    static const QRegularExpression links(
        QStringLiteral("(?:target_link_libraries|mzt_layer_library)\\(\\s*([\\w-]+)([^)]*)\\)"));
    LinkGraph result;
    QMap<QString, QString> folderOfTarget;
    QMap<QString, QString> buildText;
    for (const QString& folder : folders) {
        QFile f(root + QLatin1Char('/') + folder + QStringLiteral("/CMakeLists.txt"));
        const QString text =
            f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        if (!text.contains(defined)) {
            result.unbuilt << folder;
            continue;
        }
        buildText[folder] = text;
        for (auto it = defined.globalMatch(text); it.hasNext();)
            folderOfTarget[it.next().captured(1)] = folder;
    }
    for (auto folder = buildText.cbegin(); folder != buildText.cend(); ++folder) {
        result.graph.edges[folder.key()];
        for (auto it = links.globalMatch(folder.value()); it.hasNext();) {
            const QRegularExpressionMatch call = it.next();
            const QStringList named = call.captured(2).split(
                QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
            for (const QString& target : named) {
                const QString to = folderOfTarget.value(target);
                if (!to.isEmpty() && to != folder.key())
                    result.graph.edges[folder.key()][to] =
                        call.captured(1) + QStringLiteral(" links ") + target;
            }
        }
    }
    return result;
}

// The folders from reaches through its edges.
QSet<QString> reachableFrom(const FolderGraph& graph, const QString& from)
{
    QSet<QString> seen;
    QStringList pending = {from};
    while (!pending.isEmpty()) {
        const QString folder = pending.takeLast();
        for (const QString& to : graph.edges.value(folder).keys())
            if (!seen.contains(to)) {
                seen << to;
                pending << to;
            }
    }
    return seen;
}

// Each include from a folder its targets do not link, directly or through
// another folder: "from -> to (the include)".
QStringList unlinkedIncludes(const FolderGraph& includes, const FolderGraph& links)
{
    QStringList unlinked;
    for (auto folder = includes.edges.cbegin(); folder != includes.edges.cend(); ++folder) {
        const QSet<QString> linked = reachableFrom(links, folder.key());
        for (auto to = folder.value().cbegin(); to != folder.value().cend(); ++to)
            if (!linked.contains(to.key()))
                unlinked << folder.key() + QStringLiteral(" -> ") + to.key() + QStringLiteral(" (")
                        + to.value() + QLatin1Char(')');
    }
    return unlinked;
}

// Each cycle of the graph once, as the folders along it with the include
// that makes each step; empty when the folders form layers.
QStringList cyclesOf(const FolderGraph& graph)
{
    QStringList cycles;
    QSet<QString> done;
    QStringList path;
    QSet<QString> onPath;
    std::function<void(const QString&)> visit = [&](const QString& folder) {
        path << folder;
        onPath << folder;
        const auto targets = graph.edges.value(folder);
        for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
            if (onPath.contains(it.key())) {
                QString cycle;
                const qsizetype start = path.indexOf(it.key());
                for (qsizetype i = start; i < path.size(); ++i) {
                    const QString& to = i + 1 < path.size() ? path[i + 1] : it.key();
                    cycle += path[i] + QStringLiteral(" -> ") + to + QStringLiteral("  (")
                        + graph.edges[path[i]][to] + QStringLiteral(")\n");
                }
                cycles << cycle;
            } else if (!done.contains(it.key())) {
                visit(it.key());
            }
        }
        onPath.remove(folder);
        path.removeLast();
        done << folder;
    };
    for (auto it = graph.edges.cbegin(); it != graph.edges.cend(); ++it)
        if (!done.contains(it.key()))
            visit(it.key());
    return cycles;
}

void writeFile(const QString& path, const QByteArray& text)
{
    QDir().mkpath(folderOf(path));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

} // namespace

class TestLayeringFolders : public QObject {
    Q_OBJECT

private slots:
    void productFoldersFormLayers();
    void checkerFindsCycles_data();
    void checkerFindsCycles();
    void headerNameInTwoFoldersIsReported();
    void onlyTheAppIncludesTheWindow();
    void eachFolderIsATargetLinkingWhatItIncludes();
    void linkCheckerFindsMissingTargetsAndLinks();
};

void TestLayeringFolders::productFoldersFormLayers()
{
    const FolderGraph graph = readFolderGraph(QStringLiteral(MZT_SOURCE_DIR));
    // The graph goes into the output: it is what a reader of the run checks
    // the layering against.
    qInfo().noquote() << "folder graph:\n" + graph.text();
    QVERIFY2(graph.edges.size() > 5, "the product's folders were not found");
    QVERIFY2(graph.ambiguous.isEmpty(),
             qPrintable(QStringLiteral("header names in more than one folder: ")
                        + graph.ambiguous.join(QStringLiteral(", "))));
    const QStringList cycles = cyclesOf(graph);
    QVERIFY2(cycles.isEmpty(),
             qPrintable(QStringLiteral("folder cycles:\n") + cycles.join(QLatin1Char('\n'))));
}

// The checker against small trees, so that a checker that sees nothing
// cannot pass the product's tree.
void TestLayeringFolders::checkerFindsCycles_data()
{
    QTest::addColumn<QStringList>("files"); // "path|included header"
    QTest::addColumn<QStringList>("cycleFolders");
    QTest::newRow("layers") << QStringList {"a/a.h|b.h", "b/b.h|c.h", "c/c.h|", "a/a.cpp|c.h"}
                            << QStringList {};
    QTest::newRow("two folders") << QStringList {"a/a.h|", "a/a.cpp|b.h", "b/b.cpp|a.h", "b/b.h|"}
                                 << QStringList {"a", "b"};
    QTest::newRow("three folders")
        << QStringList {"a/a.h|b.h", "b/b.h|c.h", "c/c.cpp|a.h", "c/c.h|"}
        << QStringList {"a", "b", "c"};
    QTest::newRow("nested folder")
        << QStringList {"f/f.h|", "f/f.cpp|i.h", "f/image/i.h|f.h"} << QStringList {"f", "f/image"};
    QTest::newRow("tests and tools are left out")
        << QStringList {"a/a.h|t.h", "tests/t.h|a.h", "tools/u.h|a.h", "a/a.cpp|u.h"}
        << QStringList {};
    QTest::newRow("generated header")
        << QStringList {"a/a.cpp|ui_form.h", "a/a.h|"} << QStringList {};
}

void TestLayeringFolders::checkerFindsCycles()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, cycleFolders);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const QString& line : files) {
        const QString path = line.section(QLatin1Char('|'), 0, 0);
        const QString included = line.section(QLatin1Char('|'), 1);
        QByteArray text = "#pragma once\n#include <QString>\n";
        if (!included.isEmpty())
            text += "#include \"" + included.toUtf8() + "\"\n";
        writeFile(root.filePath(path), text);
    }
    const QStringList cycles = cyclesOf(readFolderGraph(root.path()));
    if (cycleFolders.isEmpty()) {
        QVERIFY2(cycles.isEmpty(), qPrintable(cycles.join(QLatin1Char('\n'))));
        return;
    }
    QCOMPARE(cycles.size(), 1);
    for (const QString& folder : cycleFolders)
        QVERIFY2(cycles.first().contains(folder + QStringLiteral(" -> ")),
                 qPrintable(cycles.first()));
}

void TestLayeringFolders::headerNameInTwoFoldersIsReported()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    writeFile(root.filePath(QStringLiteral("a/common.h")), "#pragma once\n");
    writeFile(root.filePath(QStringLiteral("b/common.h")), "#pragma once\n");
    writeFile(root.filePath(QStringLiteral("b/b.h")), "#pragma once\n#include \"common.h\"\n");
    QCOMPARE(readFolderGraph(root.path()).ambiguous, QStringList {QStringLiteral("common.h")});
}

// The window's header and form belong to the window: a worker, dialog or
// library that includes them knows the window and cannot run without it.
void TestLayeringFolders::onlyTheAppIncludesTheWindow()
{
    const QString root = QStringLiteral(MZT_SOURCE_DIR);
    static const QRegularExpression windowInclude(
        QStringLiteral("^\\s*#\\s*include\\s*\"(ui_)?mainwindow\\.h\""),
        QRegularExpression::MultilineOption);
    QStringList outside;
    for (const QString& file : productSources(root)) {
        if (folderOf(file) == QStringLiteral("app"))
            continue;
        QFile f(root + QLatin1Char('/') + file);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(file));
        if (windowInclude.match(QString::fromUtf8(f.readAll())).hasMatch())
            outside << file;
    }
    QVERIFY2(outside.isEmpty(),
             qPrintable(QStringLiteral("the window's header included outside app/: ")
                        + outside.join(QStringLiteral(", "))));
}

// One folder, one target: each folder of sources builds its own, and its
// targets link the folders it includes from (directly or through another),
// so that the link graph holds the layers too. A worker library that linked
// the window would make the link graph reach back up, which is a cycle.
void TestLayeringFolders::eachFolderIsATargetLinkingWhatItIncludes()
{
    const QString root = QStringLiteral(MZT_SOURCE_DIR);
    const FolderGraph includes = readFolderGraph(root);
    const LinkGraph build = readLinkGraph(root, includes.edges.keys());
    qInfo().noquote() << "link graph:\n" + build.graph.text();
    QVERIFY2(build.unbuilt.isEmpty(),
             qPrintable(QStringLiteral("folders without a target of their own: ")
                        + build.unbuilt.join(QStringLiteral(", "))));
    const QStringList unlinked = unlinkedIncludes(includes, build.graph);
    QVERIFY2(unlinked.isEmpty(),
             qPrintable(QStringLiteral("includes from folders the target does not link:\n")
                        + unlinked.join(QLatin1Char('\n'))));
    const QStringList cycles = cyclesOf(build.graph);
    QVERIFY2(cycles.isEmpty(),
             qPrintable(QStringLiteral("link cycles:\n") + cycles.join(QLatin1Char('\n'))));
}

// The link checker against a small tree: a folder that includes from one it
// does not link, then links it through a third, and a folder without a target.
void TestLayeringFolders::linkCheckerFindsMissingTargetsAndLinks()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    writeFile(root.filePath(QStringLiteral("a/a.cpp")), "#include \"c.h\"\n");
    writeFile(root.filePath(QStringLiteral("a/CMakeLists.txt")),
              "add_library(mzt_a STATIC a.cpp)\n");
    writeFile(root.filePath(QStringLiteral("b/b.h")), "#pragma once\n");
    writeFile(root.filePath(QStringLiteral("b/CMakeLists.txt")),
              "mzt_layer_library(mzt_b\n  SOURCES b.h\n  BELOW mzt_c\n  LINK Qt6::Core)\n");
    writeFile(root.filePath(QStringLiteral("c/c.h")), "#pragma once\n");
    writeFile(root.filePath(QStringLiteral("c/CMakeLists.txt")), "add_library(mzt_c STATIC c.h)\n");
    writeFile(root.filePath(QStringLiteral("d/d.h")), "#pragma once\n");

    const FolderGraph includes = readFolderGraph(root.path());
    LinkGraph build = readLinkGraph(root.path(), includes.edges.keys());
    QCOMPARE(build.unbuilt, QStringList {QStringLiteral("d")});
    QCOMPARE(unlinkedIncludes(includes, build.graph),
             QStringList {QStringLiteral("a -> c (a/a.cpp: c.h)")});

    writeFile(root.filePath(QStringLiteral("a/CMakeLists.txt")),
              "add_library(mzt_a STATIC a.cpp)\ntarget_link_libraries(mzt_a PRIVATE mzt_b)\n");
    build = readLinkGraph(root.path(), includes.edges.keys());
    QCOMPARE(unlinkedIncludes(includes, build.graph), QStringList());
    QVERIFY(cyclesOf(build.graph).isEmpty());
}

QTEST_GUILESS_MAIN(TestLayeringFolders)
#include "tst_layering_folders.moc"
