#include "modalboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>

namespace testcommon {

namespace {

constexpr int pollIntervalMs = 10;

} // namespace

void whenModal(std::function<bool(QWidget*)> handle)
{
    auto* timer = new QTimer;
    timer->setInterval(pollIntervalMs);
    QObject::connect(timer, &QTimer::timeout, [handle = std::move(handle), timer] {
        QWidget* widget = QApplication::activeModalWidget();
        if (!widget || !widget->isVisible())
            return;
        // Stopped first: handling the widget may run an event loop of its own.
        timer->stop();
        if (handle(widget))
            timer->deleteLater();
        else
            timer->start();
    });
    timer->start();
}

void acceptNextFileDialog(const QString& path)
{
    whenModal([path](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (!dialog)
            return false;
        // selectFile() leaves the name field alone while it has focus.
        if (QWidget* focused = dialog->focusWidget())
            focused->clearFocus();
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
        return true;
    });
}

QStringList listedFiles(const QMessageBox* box)
{
    QStringList files;
    for (const QStringList& row : listedFileRows(box))
        files << row.value(0);
    return files;
}

QList<QStringList> listedFileRows(const QMessageBox* box)
{
    QList<QStringList> rows;
    const auto* list = box->findChild<QTreeWidget*>();
    for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
        QStringList row;
        for (int column = 0; column < list->columnCount(); ++column)
            row << list->topLevelItem(i)->text(column);
        rows << row;
    }
    return rows;
}

std::shared_ptr<SeenBox> answerNextBox(QMessageBox::StandardButton answer)
{
    auto seen = std::make_shared<SeenBox>();
    whenModal([seen, answer](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box)
            return false;
        seen->text = box->text();
        seen->detail = box->informativeText();
        seen->files = listedFiles(box);
        seen->fileRows = listedFileRows(box);
        const QRect screen = box->screen()->availableGeometry();
        bool buttonsOnScreen = true;
        for (QAbstractButton* b : box->buttons())
            buttonsOnScreen =
                buttonsOnScreen && screen.contains(QRect(b->mapToGlobal(QPoint(0, 0)), b->size()));
        seen->fitsScreen = box->frameGeometry().height() <= screen.height() && buttonsOnScreen;
        box->button(answer)->click();
        return true;
    });
    return seen;
}

std::shared_ptr<QStringList> clickInNextBox(const QString& buttonText,
                                            const std::function<void(QMessageBox*)>& meanwhile)
{
    auto listed = std::make_shared<QStringList>();
    whenModal([listed, buttonText, meanwhile](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box)
            return false;
        *listed << listedFiles(box);
        if (meanwhile)
            meanwhile(box);
        for (QAbstractButton* b : box->buttons())
            if (QString(b->text()).remove(QLatin1Char('&')) == buttonText) {
                *listed << QStringLiteral("clicked");
                b->click();
                return true;
            }
        box->reject();
        return true;
    });
    return listed;
}

MessageBoxDriver::MessageBoxDriver()
{
    m_timer.setInterval(pollIntervalMs);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
    m_timer.start();
}

void MessageBoxDriver::plan(QMessageBox::StandardButton button, std::function<bool()> before)
{
    m_plan.push_back({button, std::move(before)});
}

QStringList MessageBoxDriver::texts() const
{
    QStringList all;
    for (const Seen& s : m_seen)
        all << s.text;
    return all;
}

void MessageBoxDriver::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box)
        return;
    if (box != m_current) {
        m_current = box;
        QAbstractButton* def = box->defaultButton();
        QString text = box->text();
        for (const QString& name : listedFiles(box))
            text += QLatin1Char('\n') + name;
        m_seen.push_back(
            {box->icon(), text, def ? box->standardButton(def) : QMessageBox::NoButton});
    }
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    if (!m_plan.empty()) {
        Planned& next = m_plan.front();
        if (next.before && !next.before())
            return; // try again at the next tick, the box stays open
        answer = next.button;
        m_plan.pop_front();
    }
    QAbstractButton* button = box->button(answer);
    if (!button)
        button = box->escapeButton() ? box->escapeButton() : box->defaultButton();
    if (button)
        button->click();
}

} // namespace testcommon
