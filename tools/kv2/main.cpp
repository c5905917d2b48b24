// mzt500-kv2: inspects and writes KV2 firmware update files.
//
//   mzt500-kv2 info FILE
//   mzt500-kv2 build --model NAME --text FILE --out FILE SECTION...
//   mzt500-kv2 placeholder --tag TAG --size BYTES --out FILE
//
// "info" ends with "valid" (exit status 0) or "invalid: <reason>" (1).
// "placeholder" writes a deterministic stand-in section (see
// kv2::placeholderSection); the build uses it for the compiled-in image.

#include "kv2format.h"
#include "regular_file.h"
#include "updateimage.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

namespace {

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

int usage()
{
    err() << "usage: mzt500-kv2 info FILE\n"
             "       mzt500-kv2 build --model NAME --text FILE --out FILE SECTION...\n"
             "       mzt500-kv2 placeholder --tag TAG --size BYTES --out FILE\n";
    err().flush();
    return 2;
}

// Reads an input of a build: a regular file no larger than an update file
// may be, so that a pipe or a device can neither block nor fill memory.
bool readFile(const QString& name, QByteArray* data)
{
    QFile f;
    QString reason;
    if (!mzt::openRegularFile(f, name, &reason)) {
        err() << "mzt500-kv2: cannot read " << name << ": " << reason << "\n";
        return false;
    }
    *data = f.read(kv2::MaxFileSize + 1);
    if (data->size() > kv2::MaxFileSize) {
        err() << "mzt500-kv2: " << name << " is larger than " << kv2::MaxFileSize << " bytes\n";
        return false;
    }
    return true;
}

bool writeFile(const QString& name, const QByteArray& data)
{
    QSaveFile f(name);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit()) {
        err() << "mzt500-kv2: cannot write " << name << ": " << f.errorString() << "\n";
        return false;
    }
    return true;
}

QString hexBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

int info(const QString& fileName)
{
    UpdateImage image;
    const bool valid = image.load(fileName);
    out() << "file: " << fileName << "\n";
    if (image.size() >= 0)
        out() << "size: " << image.size() << "\n";
    if (const kv2::Header* h = image.header()) {
        out() << "magic: " << hexBytes(h->magic) << "\n";
        out() << "model: " << h->model << "\n";
        out() << "sections: " << h->sectionCount << "\n";
        for (int i = 0; i < kv2::MaxSections && i < h->sectionCount; ++i)
            out() << "section " << i << ": " << h->sizes[i] << " bytes\n";
        out() << "stored checksum: " << h->checksum << "\n";
        if (image.computedChecksum())
            out() << "computed checksum: " << *image.computedChecksum() << "\n";
        else
            out() << "computed checksum: -\n";
    }
    if (valid) {
        out() << "transmission size: " << image.transmissionSize() << "\n";
        out() << "valid\n";
    } else {
        out() << "invalid: " << image.problem() << "\n";
    }
    out().flush();
    return valid ? 0 : 1;
}

int build(QStringList args)
{
    kv2::BuildInput input;
    QString textFile, outFile;
    bool haveModel = false;
    QStringList sectionFiles;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if ((a == "--model" || a == "--text" || a == "--out") && args.isEmpty())
            return usage();
        if (a == "--model") {
            input.model = args.takeFirst();
            haveModel = true;
        } else if (a == "--text") {
            textFile = args.takeFirst();
        } else if (a == "--out") {
            outFile = args.takeFirst();
        } else if (a.startsWith("--")) {
            return usage();
        } else {
            sectionFiles << a;
        }
    }
    if (!haveModel || textFile.isEmpty() || outFile.isEmpty())
        return usage();
    // The free text is taken byte for byte (the recorder's files use CR LF).
    if (!readFile(textFile, &input.freeText))
        return 1;
    for (const QString& s : sectionFiles) {
        QByteArray data;
        if (!readFile(s, &data))
            return 1;
        input.sections << data;
    }
    QByteArray file;
    QString error;
    if (!kv2::build(input, &file, &error)) {
        err() << "mzt500-kv2: " << error << "\n";
        return 1;
    }
    return writeFile(outFile, file) ? 0 : 1;
}

int placeholder(QStringList args)
{
    QString tag, outFile;
    int size = -1;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (args.isEmpty())
            return usage();
        const QString v = args.takeFirst();
        bool ok = true;
        if (a == "--tag")
            tag = v;
        else if (a == "--size")
            size = v.toInt(&ok);
        else if (a == "--out")
            outFile = v;
        else
            return usage();
        if (!ok)
            return usage();
    }
    if (tag.isEmpty() || outFile.isEmpty() || size < 0 || size > kv2::MaxFileSize)
        return usage();
    return writeFile(outFile, kv2::placeholderSection(tag.toUtf8(), size)) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The library's diagnostics go to the debug stream; keep them off the
    // tool's output unless asked for with QT_LOGGING_RULES.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("mzt.*.debug=false"));
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    if (command == "info" && args.size() == 1)
        return info(args.first());
    if (command == "build")
        return build(args);
    if (command == "placeholder")
        return placeholder(args);
    return usage();
}
