#ifndef PLOVERN_FILELIST_H
#define PLOVERN_FILELIST_H

#include <QListWidget>

// The files of one folder, by bare name, hidden files left out, with extended
// multi-selection (click, Ctrl+click, Shift+click). Filled synchronously.
class FileList : public QListWidget
{
    Q_OBJECT
public:
    explicit FileList(const QString& startFolder, QWidget* parent = nullptr);

    QString folder() const { return m_folder; }
    // Lists `folder`'s files, with nothing selected.
    void setFolder(const QString& folder);
    // Reads the folder again; the files still there stay selected.
    void refresh();

    QString itemText(int index) const;
    bool isSelected(int index) const;

private:
    QString m_folder;
};

#endif // PLOVERN_FILELIST_H
