// Device configurations: presets, the demo recorder, recorder files and the
// JSON format read from MZT500_SIMULATOR.
#include "simulator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace sim {

DeviceConfig DeviceConfig::recorder()
{
    return DeviceConfig {};
}

DeviceConfig DeviceConfig::dongle()
{
    DeviceConfig c;
    c.kind = Kind::Dongle;
    c.description = "KORVANT KVP-DGL";
    return c;
}

DeviceConfig DeviceConfig::foreign()
{
    DeviceConfig c;
    c.kind = Kind::Foreign;
    c.description = "FT232R USB UART";
    c.answering = false;
    c.model.clear();
    return c;
}

std::uint16_t fileNumberOf(std::uint32_t id)
{
    return id == 0 ? kSettingsFileNumber : static_cast<std::uint16_t>(id);
}

bool isValidFileNumber(std::uint16_t number)
{
    return number == kSettingsFileNumber || (number >= 1 && number <= kMaxSequences);
}

std::uint32_t memorySizeOf(std::size_t length)
{
    // 16 bytes of every KiB block go to the file system's own bookkeeping.
    std::uint64_t m = length + 16 * (length / 1024);
    m = (m + 1023) / 1024 * 1024;
    return static_cast<std::uint32_t>(m);
}

QByteArray makeFile(std::uint32_t id, std::uint32_t type, std::size_t totalSize,
                    std::uint32_t durationMs)
{
    const std::size_t size = std::max(totalSize, kRecordSize);
    QByteArray f(static_cast<qsizetype>(size), '\0');
    auto put = [&f](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put(0, id);
    put(4, type);
    put(8, memorySizeOf(size));
    put(12, durationMs);
    std::uint32_t x = 0x9E3779B9u ^ (id * 0x85EBCA6Bu) ^ static_cast<std::uint32_t>(size);
    for (std::size_t i = kRecordSize; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        f[static_cast<qsizetype>(i)] = static_cast<char>(x >> 24);
    }
    return f;
}

std::map<std::uint16_t, QByteArray> demoFiles()
{
    struct Seq {
        std::uint32_t id;
        std::size_t size;
        std::uint32_t durationMs;
    };
    static const Seq seqs[] = {
        {1, 16, 0},
        {2, 1000, 1500},
        {3, 4096, 59999},
        {5, 10000, 95000},
        {7, 25000, 240000},
        {8, 50000, 600500},
        {12, 102400, 1234567},
        {16, 250000, 3725400},
        {23, 400000, 5400000},
        {31, 600000, 7200000},
        {42, 800000, 10800000},
        // Recorder files are whole 16-bit words, so every size is even.
        {64, 1258290, 36000000},
    };
    std::map<std::uint16_t, QByteArray> files;
    files[kSettingsFileNumber] = makeFile(0, 0, 1000, 0);
    for (const Seq& s : seqs)
        files[static_cast<std::uint16_t>(s.id)] = makeFile(s.id, 1, s.size, s.durationMs);
    return files;
}

DeviceConfig demoRecorder()
{
    DeviceConfig c = DeviceConfig::recorder();
    c.serial = "KVDEMO01";
    c.deleteDurationMs = 800;
    c.files = demoFiles();
    return c;
}

namespace {

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// Versions are numbers (0x0104 = 260) or "major.minor" texts ("1.4").
bool readVersion(const QJsonValue& v, std::uint16_t* out)
{
    if (v.isDouble()) {
        *out = static_cast<std::uint16_t>(v.toInt());
        return true;
    }
    const QStringList parts = v.toString().split('.');
    if (parts.size() != 2)
        return false;
    bool ok1 = false, ok2 = false;
    const int major = parts[0].toInt(&ok1);
    const int minor = parts[1].toInt(&ok2);
    if (!ok1 || !ok2 || major < 0 || major > 255 || minor < 0 || minor > 255)
        return false;
    *out = static_cast<std::uint16_t>(major << 8 | minor);
    return true;
}

bool readFaults(const QJsonObject& o, Faults* f, QString* error)
{
    static const QStringList known = {
        "seed",          "corruptProbability", "dropProbability", "corruptAtFrame",
        "dropAtFrame",   "faultOffset",        "faultCount",      "statusAtFrame",
        "statusCommand", "statusCount",        "status",          "silentCommand",
        "silentCount",   "vanishAfterBytes",   "vanishAtCommand", "deletionError",
        "statusFile",
    };
    for (const QString& k : o.keys())
        if (!known.contains(k))
            return fail(error, QStringLiteral("unknown fault \"%1\"").arg(k));
    f->seed = static_cast<std::uint64_t>(o.value("seed").toDouble(static_cast<double>(f->seed)));
    f->corruptProbability = o.value("corruptProbability").toDouble(f->corruptProbability);
    f->dropProbability = o.value("dropProbability").toDouble(f->dropProbability);
    f->corruptAtFrame = o.value("corruptAtFrame").toInt(f->corruptAtFrame);
    f->dropAtFrame = o.value("dropAtFrame").toInt(f->dropAtFrame);
    f->faultOffset = o.value("faultOffset").toInt(f->faultOffset);
    f->faultCount = o.value("faultCount").toInt(f->faultCount);
    f->statusAtFrame = o.value("statusAtFrame").toInt(f->statusAtFrame);
    f->statusCommand = o.value("statusCommand").toInt(f->statusCommand);
    f->statusCount = o.value("statusCount").toInt(f->statusCount);
    f->status = static_cast<std::uint8_t>(o.value("status").toInt(f->status));
    f->statusFile = o.value("statusFile").toInt(f->statusFile);
    f->silentCommand = o.value("silentCommand").toInt(f->silentCommand);
    f->silentCount = o.value("silentCount").toInt(f->silentCount);
    f->vanishAfterBytes = static_cast<long long>(
        o.value("vanishAfterBytes").toDouble(static_cast<double>(f->vanishAfterBytes)));
    f->vanishAtCommand = o.value("vanishAtCommand").toInt(f->vanishAtCommand);
    f->deletionError = static_cast<std::uint16_t>(o.value("deletionError").toInt(f->deletionError));
    if (f->corruptProbability < 0 || f->corruptProbability > 1 || f->dropProbability < 0
        || f->dropProbability > 1)
        return fail(error, QStringLiteral("fault probabilities lie between 0 and 1"));
    return true;
}

bool readFiles(const QJsonValue& v, std::map<std::uint16_t, QByteArray>* files, QString* error)
{
    if (v.isString() && v.toString() == QLatin1String("demo")) {
        *files = demoFiles();
        return true;
    }
    if (!v.isArray())
        return fail(error, QStringLiteral("\"files\" is \"demo\" or a list"));
    files->clear();
    for (const QJsonValue& item : v.toArray()) {
        const QJsonObject o = item.toObject();
        const int id = o.value("id").toInt(-1);
        if (id < 0 || id > kMaxSequences)
            return fail(error, QStringLiteral("file id %1 is not 0..64").arg(id));
        const auto type = static_cast<std::uint32_t>(o.value("type").toInt(id == 0 ? 0 : 1));
        const auto duration = static_cast<std::uint32_t>(o.value("durationMs").toDouble(0));
        QByteArray content;
        if (o.contains("data")) {
            content = QByteArray::fromBase64(o.value("data").toString().toLatin1());
            if (content.size() < static_cast<qsizetype>(kRecordSize))
                return fail(error, QStringLiteral("file %1: data shorter than its record").arg(id));
        } else {
            const double size = o.value("size").toDouble(1024);
            if (size < 16 || size > 64.0 * 1024 * 1024)
                return fail(error, QStringLiteral("file %1: size out of range").arg(id));
            content = makeFile(static_cast<std::uint32_t>(id), type, static_cast<std::size_t>(size),
                               duration);
        }
        if (o.contains("memorySize")) {
            const auto m = static_cast<std::uint32_t>(o.value("memorySize").toDouble());
            for (int i = 0; i < 4; ++i)
                content[8 + i] = static_cast<char>((m >> (8 * i)) & 0xFF);
        }
        (*files)[fileNumberOf(static_cast<std::uint32_t>(id))] = content;
    }
    return true;
}

bool readDevice(const QJsonObject& o, DeviceConfig* out, QString* error)
{
    static const QStringList known = {"kind",
                                      "description",
                                      "serial",
                                      "answering",
                                      "model",
                                      "hardwareVersion",
                                      "softwareVersion",
                                      "maxFrameSize",
                                      "transferMode",
                                      "refuseTransferMode",
                                      "requireTransferMode",
                                      "pollBudget",
                                      "deleteDurationMs",
                                      "timing",
                                      "turnaroundUs",
                                      "replyAddress",
                                      "repeatedFrames",
                                      "files",
                                      "faults",
                                      "presentWhile"};
    for (const QString& k : o.keys())
        if (!known.contains(k))
            return fail(error, QStringLiteral("unknown device setting \"%1\"").arg(k));
    const QString kind = o.value("kind").toString("recorder");
    DeviceConfig c;
    if (kind == QLatin1String("recorder"))
        c = DeviceConfig::recorder();
    else if (kind == QLatin1String("dongle"))
        c = DeviceConfig::dongle();
    else if (kind == QLatin1String("foreign"))
        c = DeviceConfig::foreign();
    else
        return fail(error, QStringLiteral("unknown kind \"%1\"").arg(kind));
    c.description =
        o.value("description").toString(QString::fromStdString(c.description)).toStdString();
    c.serial = o.value("serial").toString(QString::fromStdString(c.serial)).toStdString();
    c.answering = o.value("answering").toBool(c.answering);
    c.model = o.value("model").toString(QString::fromStdString(c.model)).toStdString();
    if (o.contains("hardwareVersion")
        && !readVersion(o.value("hardwareVersion"), &c.hardwareVersion))
        return fail(error, QStringLiteral("bad hardwareVersion"));
    if (o.contains("softwareVersion")
        && !readVersion(o.value("softwareVersion"), &c.softwareVersion))
        return fail(error, QStringLiteral("bad softwareVersion"));
    const int frame = o.value("maxFrameSize").toInt(c.maxFrameSize);
    if (frame < 15 || frame > 65535)
        return fail(error, QStringLiteral("maxFrameSize out of range"));
    c.maxFrameSize = static_cast<std::uint16_t>(frame);
    c.transferMode = o.value("transferMode").toBool(c.transferMode);
    c.refuseTransferMode = o.value("refuseTransferMode").toBool(c.refuseTransferMode);
    c.requireTransferMode = o.value("requireTransferMode").toBool(c.requireTransferMode);
    c.pollBudget = static_cast<std::uint32_t>(o.value("pollBudget").toDouble(c.pollBudget));
    c.deleteDurationMs = std::max(0, o.value("deleteDurationMs").toInt(c.deleteDurationMs));
    const QString timing = o.value("timing").toString("instant");
    if (timing == QLatin1String("wire"))
        c.timing = Timing::Wire;
    else if (timing == QLatin1String("instant"))
        c.timing = Timing::Instant;
    else
        return fail(error, QStringLiteral("timing is \"instant\" or \"wire\""));
    c.turnaroundUs = std::max(0, o.value("turnaroundUs").toInt(c.turnaroundUs));
    c.replyAddress = static_cast<std::uint8_t>(o.value("replyAddress").toInt(c.replyAddress));
    if (o.contains("repeatedFrames")) {
        const std::optional<RepeatedFrames> repeated =
            repeatedFramesNamed(o.value("repeatedFrames").toString());
        if (!repeated)
            return fail(error, QStringLiteral("repeatedFrames is \"recognise\" or \"takeAsNew\""));
        c.repeatedFrames = *repeated;
    }
    if (o.contains("presentWhile")) {
        c.presentWhile = o.value("presentWhile").toString().toStdString();
        if (c.presentWhile.empty())
            return fail(error, QStringLiteral("presentWhile is a path"));
    }
    if (o.contains("files") && !readFiles(o.value("files"), &c.files, error))
        return false;
    if (o.contains("faults") && !readFaults(o.value("faults").toObject(), &c.faults, error))
        return false;
    *out = c;
    return true;
}

} // namespace

const char* nameOf(RepeatedFrames behaviour)
{
    return behaviour == RepeatedFrames::TakenAsNew ? "takeAsNew" : "recognise";
}

std::optional<RepeatedFrames> repeatedFramesNamed(const QString& name)
{
    for (RepeatedFrames behaviour : kRepeatedFrameBehaviours)
        if (name == QLatin1String(nameOf(behaviour)))
            return behaviour;
    return std::nullopt;
}

std::optional<std::vector<DeviceConfig>> parseConfig(const QByteArray& json, QString* error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &pe);
    if (doc.isNull()) {
        fail(error, pe.errorString());
        return std::nullopt;
    }
    QJsonArray list;
    if (doc.isArray())
        list = doc.array();
    else if (doc.object().contains("devices"))
        list = doc.object().value("devices").toArray();
    else
        list.append(doc.object());
    std::vector<DeviceConfig> devices;
    for (const QJsonValue& v : list) {
        if (!v.isObject()) {
            fail(error, QStringLiteral("a device is a JSON object"));
            return std::nullopt;
        }
        DeviceConfig c;
        if (!readDevice(v.toObject(), &c, error))
            return std::nullopt;
        devices.push_back(std::move(c));
    }
    return devices;
}

std::optional<std::vector<DeviceConfig>> loadConfig(const QString& selection, QString* error)
{
    if (selection == QLatin1String("demo"))
        return std::vector<DeviceConfig> {demoRecorder()};
    QFile f(selection);
    if (!f.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("cannot read %1: %2").arg(selection, f.errorString()));
        return std::nullopt;
    }
    QString why;
    auto devices = parseConfig(f.readAll(), &why);
    if (!devices)
        fail(error, QStringLiteral("%1: %2").arg(selection, why));
    return devices;
}

} // namespace sim
