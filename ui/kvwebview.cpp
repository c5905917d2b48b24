#include "kvwebview.h"

#include <QContextMenuEvent>

void KvWebView::contextMenuEvent(QContextMenuEvent* event)
{
    // Swallow the event so that no menu appears and nothing else handles it.
    event->accept();
}
