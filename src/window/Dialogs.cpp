#include "window/Dialogs.h"

FileDialogSettings loadListDialogSettings()
{
    FileDialogSettings settings;
    settings.fileName = QString();
    settings.flags = 2621441;
    settings.title = QStringLiteral("Add File(s) - Use Ctrl & Shift to select multiple files");
    settings.filter = QStringLiteral("Text Files (*.txt)|*.txt|All Files (*.*)|*.*");
    return settings;
}

FileDialogSettings saveResultsDialog()
{
    return {QString(), 2621953, QStringLiteral("Save List"),
            QStringLiteral("Text Files (*.txt)|*.txt|All Files (*.*)|*.*|")};
}

FileDialogSettings saveCsvDialog()
{
    return {QString(), 2621953, QStringLiteral("Save Results As CSV"),
            QStringLiteral("CSV Files (*.csv)|*.csv|All Files (*.*)|*.*|")};
}

QString overwriteQuestion(const QString &fileName)
{
    return QStringLiteral("Are you sure you wish to overwrite ") + fileName + QStringLiteral(" ?");
}
