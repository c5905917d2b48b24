// KV2 files for tests: valid ones built from placeholder sections.
#pragma once

#include "kv2format.h"

#include <QtGlobal>

inline QByteArray makeKv2File(const QString& model, const QList<int>& sizes,
                              const QByteArray& freeText = QByteArray())
{
    kv2::BuildInput in;
    in.model = model;
    in.freeText = freeText;
    for (int i = 0; i < sizes.size(); ++i)
        in.sections << kv2::placeholderSection("s" + QByteArray::number(i), sizes[i]);
    QByteArray out;
    QString error;
    if (!kv2::build(in, &out, &error))
        qFatal("building a test file failed: %s", qPrintable(error));
    return out;
}
