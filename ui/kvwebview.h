// The manual's web view: a browser view without the browser's context menu
// (no reload, back, copy or inspect entries in a help window).
#pragma once

#include <QWebEngineView>

class KvWebView : public QWebEngineView {
    Q_OBJECT

public:
    using QWebEngineView::QWebEngineView;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
