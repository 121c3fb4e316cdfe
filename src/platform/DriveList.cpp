#include "DriveList.h"

#include "DriveFolders.h"
#include "PlatformErrors.h"

DriveList::DriveList(const QString& startFolder, QWidget* parent)
    : QComboBox(parent)
{
    const QStringList drives = DriveFolders::drives();
    addItems(drives);
    setCurrentIndex(std::max(0, findText(DriveFolders::driveOf(startFolder, drives))));
    connect(this, &QComboBox::currentIndexChanged, this, &DriveList::driveChanged);
}

QString DriveList::drive() const
{
    return currentText();
}

QStringList DriveList::drives() const
{
    QStringList roots;
    for (int i = 0; i < count(); ++i)
        roots << itemText(i);
    return roots;
}

void DriveList::setDrive(const QString& drive)
{
    const int index = findText(drive);
    if (index < 0)
        throw PlatformError::failure(PlatformError::DeviceUnavailable);
    setCurrentIndex(index);
}
