#pragma once

#include "platform/FileExists.h"

class QWidget;

// Places the window's outer frame in the middle of its screen.
void CenterForm(QWidget *window);
