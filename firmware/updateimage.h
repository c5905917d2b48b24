// A loaded and checked KV2 firmware update file: hands the firmware transfer
// its header block and sections, and the update dialog its status line.
#pragma once

#include "kv2format.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <optional>

class UpdateImage {
    Q_DECLARE_TR_FUNCTIONS(UpdateImage)

public:
    UpdateImage() = default;
    UpdateImage(const UpdateImage&) = delete;
    UpdateImage& operator=(const UpdateImage&) = delete;

    // Reads and checks the file (a path in the platform's own file-name
    // encoding, or a ":/" resource). True when it is a valid KV2 file.
    bool load(const QString& fileName);
    // The same checks on bytes already in memory; name is only used for the
    // status line.
    bool loadFromBytes(const QByteArray& bytes, const QString& name = QString());

    bool isValid() const { return m_loaded && !m_invalid; }
    bool isNotReadable() const { return m_notReadable; }
    int sectionCount() const;
    std::optional<QByteArrayView> section(int i) const;
    std::optional<QByteArrayView> headerBlock() const;
    int transmissionSize() const;
    bool matchesDevice(const QString& modelName) const;
    QString statusText(const QString& modelName) const;

    QString fileName() const { return m_fileName; }
    int size() const { return m_size; }
    // The parsed header whenever the file held a whole header, valid or not.
    const kv2::Header* header() const { return m_hasHeader ? &m_header : nullptr; }
    // Set once the section layout was found sound and the sum was taken.
    std::optional<quint32> computedChecksum() const { return m_computed; }
    // The header's free text block (build dates, sources), up to its first
    // zero byte; empty when the file held no whole header.
    QByteArray freeText() const;
    // Why the last load failed, for diagnostics; empty after a good load.
    QString problem() const { return m_problem; }

private:
    void reset(const QString& fileName);
    bool check();
    bool fail(const char* logLine, const QString& problem);

    QString m_fileName;
    QFile m_file;
    QByteArray m_contents;
    int m_size = -1;
    bool m_loaded = false;
    bool m_notReadable = false;
    bool m_invalid = true;

    kv2::Header m_header;
    bool m_hasHeader = false;
    std::optional<quint32> m_computed;
    QString m_problem;
};
