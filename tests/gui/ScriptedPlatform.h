#ifndef PLOVERN_SCRIPTEDPLATFORM_H
#define PLOVERN_SCRIPTEDPLATFORM_H

#include "QtPlatform.h"

#include <QQueue>
#include <QStringList>

#include <functional>

// The platform for window tests: every modal call is recorded and answered
// from a queue of scripted answers; the file system is the real one (so tests
// check real files), and ending the program is only recorded.
class ScriptedPlatform : public QtPlatform
{
public:
    struct Call
    {
        QString kind;                    // "message", "input", "password", "open", "save", "beep", "end"
        QString text;                    // message text, prompt, dialog title, or the entry asked for
        QString title;                   // message or prompt title, or the archive asked for
        FileDialogRequest request;       // for "open" and "save"
        const QWidget* window = nullptr; // the window a box or prompt was raised over
        bool wrong = false;              // for "password": the prompt said the last one was wrong
    };

    // Answers, consumed in order. A file dialog answered with cancel() throws
    // 32755 or returns "" as its request asks. The user keeps the dialog's
    // filter, or picks the 1-based `filter`.
    void answerInput(const QString& answer) { m_inputs.enqueue(answer); }
    void answerPassword(const QString& password) { m_passwords.enqueue(password); }
    void answerOpen(const QString& path, int filter = 0) { m_opens.enqueue({path, filter}); }
    void answerSave(const QString& path, int filter = 0) { m_saves.enqueue({path, filter}); }
    static QString cancel() { return QStringLiteral("<cancel>"); }

    // Runs at every message box, while it would be on screen.
    std::function<void(const Call&)> onMessage;
    // Runs at every file dialog, while it would be on screen.
    std::function<void(const Call&)> onDialog;
    // Runs as a progress window opens, before the work it follows.
    std::function<void()> onProgressStart;

    const QList<Call>& calls() const { return m_calls; }
    // The message boxes so far, as "title|text".
    QStringList messages() const;
    // Every call kind so far, in order ("message", "open", ...).
    QStringList kinds() const;
    int busyNow() const { return m_busy; }
    bool unansweredLeft() const
    {
        return !m_inputs.isEmpty() || !m_passwords.isEmpty() || !m_opens.isEmpty() || !m_saves.isEmpty();
    }
    void clearCalls() { m_calls.clear(); }

    void messageBox(const QString& text, const QString& title, QWidget* window) override;
    QString inputBox(const QString& prompt, const QString& title, QWidget* window) override;
    bool askPassword(const QString& archive, const QString& entry, bool wrong, QWidget* window,
                     QString& password) override;
    QString openFileDialog(FileDialogRequest& request) override;
    QString saveFileDialog(FileDialogRequest& request) override;
    void beep() override;
    void setBusyPointer(QWidget* window, bool busy) override;
    void endProgram() override;
    std::unique_ptr<ProgressWindow> startProgress(QWidget* window, const QString& title) override;

    // Progress windows answer Stop at the first update whose text contains
    // this (never when empty).
    QString stopAt;

private:
    struct DialogAnswer
    {
        QString path;
        int filter;
    };
    QString answerDialog(QQueue<DialogAnswer>& answers, FileDialogRequest& request, const QString& kind);

    QList<Call> m_calls;
    QQueue<QString> m_inputs;
    QQueue<QString> m_passwords;
    QQueue<DialogAnswer> m_opens;
    QQueue<DialogAnswer> m_saves;
    int m_busy = 0;
};

#endif // PLOVERN_SCRIPTEDPLATFORM_H
