#pragma once

#include "platform/UiServices.h"

// Settings of the "Load List" open dialog.
FileDialogSettings loadListDialogSettings();
// The dialog both save commands show.
FileDialogSettings saveResultsDialog();
// The dialog of "Save Results As CSV…".
FileDialogSettings saveCsvDialog();
// The question before a save replaces an existing file.
QString overwriteQuestion(const QString &fileName);
