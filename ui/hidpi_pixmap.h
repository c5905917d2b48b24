// Pictures that stay sharp on scaled screens. QIcon finds a picture's "@2x"
// version by itself, QPixmap does not: pictures shown as pixmaps load
// through here.
#pragma once

#include <QPixmap>
#include <QString>

// The picture at path, or its "@2x" version (with a device pixel ratio of 2)
// when the screens are scaled and that version exists.
QPixmap hidpiPixmap(const QString& path);
