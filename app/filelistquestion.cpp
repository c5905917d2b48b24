#include "filelistquestion.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QTreeWidget>

namespace {

// Room the box needs besides the list: title bar, question, buttons and
// margins, generously, so the whole box stays on the screen.
constexpr int roomBesidesList = 220;
constexpr int fewestVisibleRows = 3;
constexpr int mostVisibleRows = 12;

QScreen* screenOf(const QWidget* widget)
{
    if (widget && widget->screen())
        return widget->screen();
    return QGuiApplication::primaryScreen();
}

// Every button of the question can be pressed with Alt and a letter: the
// standard buttons that came without one get the first letter no other
// button uses.
void giveMnemonics(const QMessageBox& box)
{
    const QList<QAbstractButton*> buttons = box.buttons();
    QSet<QChar> taken;
    for (const QAbstractButton* button : buttons) {
        const QString text = button->text();
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        if (at >= 0 && at + 1 < text.size())
            taken.insert(text[at + 1].toLower());
    }
    for (QAbstractButton* button : buttons) {
        QString text = button->text();
        if (text.contains(QLatin1Char('&')))
            continue;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i].isLetter() && !taken.contains(text[i].toLower())) {
                taken.insert(text[i].toLower());
                button->setText(text.insert(i, QLatin1Char('&')));
                break;
            }
        }
    }
}

} // namespace

QMessageBox::StandardButton askAboutFiles(QWidget* parent, const QString& title,
                                          const QString& question, const QStringList& files,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton,
                                          const QString& extraButton, bool* extraChosen,
                                          QMessageBox::Icon icon)
{
    QList<ListedFile> listed;
    for (const QString& name : files)
        listed.append({name, {}, {}, {}});
    return askAboutFiles(parent, title, question, listed, buttons, defaultButton, extraButton,
                         extraChosen, icon);
}

QMessageBox::StandardButton askAboutFiles(QWidget* parent, const QString& title,
                                          const QString& question, const QList<ListedFile>& files,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton,
                                          const QString& extraButton, bool* extraChosen,
                                          QMessageBox::Icon icon, const QString& note)
{
    QMessageBox box(icon, title, question, buttons, parent);
    box.setInformativeText(note);
    box.setDefaultButton(defaultButton);
    QPushButton* extra =
        extraButton.isEmpty() ? nullptr : box.addButton(extraButton, QMessageBox::AcceptRole);
    if (extraChosen)
        *extraChosen = false;
    giveMnemonics(box);

    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    auto* buttonBox = box.findChild<QDialogButtonBox*>();
    if (!files.isEmpty() && grid && buttonBox) {
        const bool detailed = std::any_of(files.begin(), files.end(), [](const ListedFile& f) {
            return !f.recorderSize.isEmpty() || !f.archiveSize.isEmpty() || !f.comparison.isEmpty();
        });
        auto* list = new QTreeWidget(&box);
        list->setObjectName(QLatin1String(fileListObjectName));
        list->setRootIsDecorated(false);
        list->setSelectionMode(QAbstractItemView::NoSelection);
        list->setFocusPolicy(Qt::NoFocus);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        if (detailed) {
            list->setHeaderLabels({QObject::tr("File"), QObject::tr("Recorder"),
                                   QObject::tr("Archive"), QObject::tr("Comparison")});
        } else {
            list->setColumnCount(1);
            list->setHeaderHidden(true);
        }
        for (const ListedFile& file : files) {
            auto* item = new QTreeWidgetItem(list);
            item->setText(0, file.name);
            if (detailed) {
                item->setText(1, file.recorderSize);
                item->setText(2, file.archiveSize);
                item->setText(3, file.comparison);
                item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
                item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            }
        }
        list->header()->setStretchLastSection(false);

        const int rowHeight = qMax(list->sizeHintForRow(0), list->fontMetrics().height());
        const int frame =
            2 * list->frameWidth() + (detailed ? list->header()->sizeHint().height() : 0);
        int available = mostVisibleRows * rowHeight;
        if (const QScreen* screen = screenOf(parent))
            available = qMin(available, screen->availableGeometry().height() - roomBesidesList);
        const int wanted = int(files.size()) * rowHeight;
        const int height = qMax(qMin(wanted, available), fewestVisibleRows * rowHeight);
        list->setFixedHeight(qMin(height, wanted) + frame);
        int width = 0;
        for (int column = 0; column < list->columnCount(); ++column) {
            list->resizeColumnToContents(column);
            width += list->columnWidth(column);
        }
        list->setMinimumWidth(width + 2 * list->frameWidth()
                              + list->verticalScrollBar()->sizeHint().width());

        // The list goes between the question and the buttons.
        int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(buttonBox), &row, &column, &rowSpan, &columnSpan);
        grid->removeWidget(buttonBox);
        grid->addWidget(list, row, 1, 1, columnSpan > 1 ? columnSpan - 1 : 1);
        grid->addWidget(buttonBox, row + 1, column, rowSpan, columnSpan);
    }
    const auto answer = QMessageBox::StandardButton(box.exec());
    if (extra && box.clickedButton() == extra) {
        if (extraChosen)
            *extraChosen = true;
        return QMessageBox::NoButton;
    }
    return answer;
}
