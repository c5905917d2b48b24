#include "names.h"

#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace cli {
namespace {

std::optional<int> number(const QString& digits)
{
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok, 10);
    if (!ok || value < 0 || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

bool isNumber(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return digits.match(text).hasMatch();
}

} // namespace

QStringList joinSplitNames(const QStringList& words)
{
    QStringList names;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (words[i].trimmed().compare(QLatin1String("SEQUENCE"), Qt::CaseInsensitive) == 0
            && i + 1 < words.size() && isNumber(words[i + 1].trimmed())) {
            names.append(words[i].trimmed() + QLatin1Char(' ') + words[i + 1].trimmed());
            ++i;
        } else {
            names.append(words[i]);
        }
    }
    return names;
}

std::optional<int> idForName(const QString& name)
{
    static const QRegularExpression sequence(QStringLiteral("^SEQUENCE\\s*([0-9]+)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QString text = name.simplified();
    if (isNumber(text))
        return number(text);
    if (text.compare(QLatin1String("SETTINGS"), Qt::CaseInsensitive) == 0)
        return 0;
    const QRegularExpressionMatch match = sequence.match(text);
    if (match.hasMatch())
        return number(match.captured(1));
    return std::nullopt;
}

QList<NamedFile> resolveNames(const QStringList& requested, const QList<NamedFile>& candidates,
                              QString* unknown)
{
    QList<NamedFile> chosen;
    const auto add = [&chosen](const NamedFile& file) {
        const bool known = std::any_of(chosen.cbegin(), chosen.cend(),
                                       [&file](const NamedFile& f) { return f.id == file.id; });
        if (!known)
            chosen.append(file);
    };
    for (const QString& name : requested) {
        const std::optional<int> id = idForName(name);
        bool matched = false;
        for (const NamedFile& candidate : candidates) {
            const bool same = id
                ? candidate.id == *id
                : candidate.name.compare(name.simplified(), Qt::CaseInsensitive) == 0;
            if (same) {
                add(candidate);
                matched = true;
            }
        }
        if (!matched) {
            if (unknown)
                *unknown = name;
            return {};
        }
    }
    return chosen;
}

} // namespace cli
