#pragma once

#include <QString>

class QWidget;

// Places the window's outer frame in the middle of its screen.
void CenterForm(QWidget *window);
// True when a modification time can be read for path (files and folders alike); never throws.
bool FileExists(const QString &path);
