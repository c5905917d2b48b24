// Desktop notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). A missing bus or
// service is logged and otherwise ignored: the work a notification tells of
// is done whether or not anybody shows it. Calls never wait for the
// service's answer.
#pragma once

#include <QObject>
#include <QString>

namespace desktop {

class Notifier : public QObject {
    Q_OBJECT

public:
    // appName: how the desktop names the sender.
    explicit Notifier(const QString& appName, QObject* parent = nullptr);

    // Shows summary (one line) with body below it.
    void notify(const QString& summary, const QString& body = QString());

signals:
    // The service's answer to one notification, for logs and tests; error
    // is empty when it was shown.
    void answered(const QString& summary, const QString& error);

private:
    QString m_appName;
};

} // namespace desktop
