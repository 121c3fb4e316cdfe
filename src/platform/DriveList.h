#ifndef PLOVERN_DRIVELIST_H
#define PLOVERN_DRIVELIST_H

#include <QComboBox>

// A drop-down list of the drives (see DriveFolders). driveChanged() fires
// whenever the current drive changes, whether the user picked one or the
// program set it, and runs before setDrive() returns.
class DriveList : public QComboBox
{
    Q_OBJECT
public:
    // Starts on the drive that holds `startFolder`.
    explicit DriveList(const QString& startFolder, QWidget* parent = nullptr);

    QString drive() const;
    // The drives listed, as DriveFolders::drives() gave them when the list
    // was made.
    QStringList drives() const;
    // Throws Failure 68 when `drive` is not one of the listed drives.
    void setDrive(const QString& drive);

signals:
    void driveChanged();
};

#endif // PLOVERN_DRIVELIST_H
