#include "usage.h"

#include <algorithm>
#include <vector>

namespace cli {

namespace {

// Optimal string alignment distance: like Levenshtein's, with a swap of two
// neighbouring letters counted as one edit, the commonest typing slip.
int editDistance(const QString& a, const QString& b)
{
    const qsizetype n = a.size();
    const qsizetype m = b.size();
    std::vector<std::vector<int>> d(size_t(n + 1), std::vector<int>(size_t(m + 1)));
    for (qsizetype i = 0; i <= n; ++i)
        d[size_t(i)][0] = int(i);
    for (qsizetype j = 0; j <= m; ++j)
        d[0][size_t(j)] = int(j);
    for (qsizetype i = 1; i <= n; ++i)
        for (qsizetype j = 1; j <= m; ++j) {
            const size_t r = size_t(i);
            const size_t c = size_t(j);
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[r][c] = std::min({d[r - 1][c] + 1, d[r][c - 1] + 1, d[r - 1][c - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[r][c] = std::min(d[r][c], d[r - 2][c - 2] + 1);
        }
    return d[size_t(n)][size_t(m)];
}

} // namespace

QStringList closestWords(const QString& typed, const QStringList& known)
{
    const QString word = typed.toLower();
    if (word.isEmpty())
        return {};
    // One slip in a short word already makes it another word; longer words
    // bear two.
    const int allowed = word.size() <= 4 ? 1 : 2;
    std::vector<std::pair<int, QString>> found;
    for (const QString& candidate : known) {
        const int distance = editDistance(word, candidate.toLower());
        // "upd" for "update-firmware": a beginning counts as close.
        const bool begins = word.size() >= 2 && candidate.toLower().startsWith(word);
        if (distance <= allowed || begins)
            found.emplace_back(begins ? 0 : distance, candidate);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList result;
    for (const auto& f : found)
        result.append(f.second);
    return result;
}

QString didYouMean(const QStringList& suggestions)
{
    if (suggestions.isEmpty())
        return QString();
    QStringList quoted;
    for (const QString& s : suggestions)
        quoted.append(QLatin1Char('"') + s + QLatin1Char('"'));
    return QStringLiteral(" did you mean %1?").arg(quoted.join(QStringLiteral(" or ")));
}

} // namespace cli
