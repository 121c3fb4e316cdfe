#include "DriveList.h"

#include "DriveFolders.h"
#include "PlatformErrors.h"

DriveList::DriveList(const QString& startFolder, QWidget* parent)
    : QComboBox(parent)
{
    addItems(DriveFolders::drives());
    setCurrentIndex(std::max(0, findText(DriveFolders::driveOf(startFolder))));
    connect(this, &QComboBox::currentIndexChanged, this, &DriveList::driveChanged);
}

QString DriveList::drive() const
{
    return currentText();
}

void DriveList::setDrive(const QString& drive)
{
    const int index = findText(drive);
    if (index < 0)
        throw PlatformError::failure(PlatformError::DeviceUnavailable);
    setCurrentIndex(index);
}
