// Writes a picture of each window, as a user sees it after opening an
// archive, into the folder given as the first argument (the README's
// pictures come from here). Run it under Xvfb or with QT_QPA_PLATFORM=offscreen:
//   build/plovern-screenshots docs some.zip

#include "FolderList.h"
#include "QtPlatform.h"
#include "addfiles/Form2.h"
#include "extract/Form3.h"
#include "help/Form4.h"
#include "mainwindow/Form1.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {
class QuietPlatform : public QtPlatform
{
public:
    QString archive;
    void messageBox(const QString&, const QString&, QWidget*) override {}
    QString openFileDialog(FileDialogRequest&) override { return archive; }
};

void save(QWidget* window, const QString& file)
{
    window->show();
    QApplication::processEvents();
    window->grab().save(file);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QuietPlatform platform;
    platform.archive = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    Form1 form1(platform);
    form1.show();
    form1.findChild<QPushButton*>(QStringLiteral("BCHCButton1"))->click();
    save(&form1, folder + QStringLiteral("/form1.png"));
    save(&form1.form3(), folder + QStringLiteral("/form3.png"));
    form1.form2().folderList()->setPath(QFileInfo(platform.archive).absolutePath());
    save(&form1.form2(), folder + QStringLiteral("/form2.png"));
    save(&form1.form4(), folder + QStringLiteral("/form4.png"));

    // The password prompt as it asks again, over the extract window.
    form1.form3().show();
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        dialog->findChild<QLineEdit*>(QStringLiteral("PasswordField"))->setText(QStringLiteral("plovern"));
        QApplication::processEvents();
        dialog->grab().save(folder + QStringLiteral("/password.png"));
        dialog->reject();
    });
    QString password;
    platform.askPassword(platform.archive, QStringLiteral("docs/readme.txt"), true, &form1.form3(), password);
    return 0;
}
