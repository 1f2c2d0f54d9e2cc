#pragma once
// The program's own pictures, drawn in code so that nothing has to be shipped
// beside the executable: the banner of the main and About windows and the
// two 16x16 images of the tree and the recovered-file list.

#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QSize>

namespace ds::ui {

// The banner at the given size.
QPixmap banner_picture(QSize size);

// Image 0: a folder; image 1: a document.
QList<QIcon> image_list();

// The window font ("MS Sans Serif"), with substitutes that exist on Linux and
// carry the Chinese captions.
void install_font_substitutes();

} // namespace ds::ui
