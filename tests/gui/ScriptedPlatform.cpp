#include "ScriptedPlatform.h"

#include "PlatformErrors.h"

#include <gtest/gtest.h>

QStringList ScriptedPlatform::messages() const
{
    QStringList out;
    for (const Call& call : m_calls)
        if (call.kind == QLatin1String("message"))
            out << call.title + QLatin1Char('|') + call.text;
    return out;
}

QStringList ScriptedPlatform::kinds() const
{
    QStringList out;
    for (const Call& call : m_calls)
        out << call.kind;
    return out;
}

void ScriptedPlatform::messageBox(const QString& text, const QString& title)
{
    Call call{QStringLiteral("message"), text, title, {}};
    m_calls.append(call);
    if (onMessage)
        onMessage(call);
}

QString ScriptedPlatform::inputBox(const QString& prompt, const QString& title)
{
    m_calls.append({QStringLiteral("input"), prompt, title, {}});
    if (m_inputs.isEmpty()) {
        ADD_FAILURE() << "unexpected input prompt: " << prompt.toStdString();
        return QString();
    }
    const QString answer = m_inputs.dequeue();
    return answer == cancel() ? QString() : answer;
}

QString ScriptedPlatform::answerDialog(QQueue<QString>& answers, const FileDialogRequest& request, const QString& kind)
{
    m_calls.append({kind, request.title, QString(), request});
    if (onDialog)
        onDialog(m_calls.last());
    QString answer = cancel();
    if (answers.isEmpty())
        ADD_FAILURE() << "unexpected " << kind.toStdString() << " dialog: " << request.title.toStdString();
    else
        answer = answers.dequeue();
    if (answer == cancel()) {
        if (request.cancelError)
            throw PlatformError::failure(PlatformError::Cancelled);
        return QString();
    }
    return answer;
}

QString ScriptedPlatform::openFileDialog(const FileDialogRequest& request)
{
    return answerDialog(m_opens, request, QStringLiteral("open"));
}

QString ScriptedPlatform::saveFileDialog(const FileDialogRequest& request)
{
    return answerDialog(m_saves, request, QStringLiteral("save"));
}

void ScriptedPlatform::beep()
{
    m_calls.append({QStringLiteral("beep"), QString(), QString(), {}});
}

void ScriptedPlatform::setBusyPointer(QWidget* window, bool busy)
{
    m_busy += busy ? 1 : 0;
    if (!busy)
        m_busy = 0;
    QtPlatform::setBusyPointer(window, busy);
}

void ScriptedPlatform::endProgram()
{
    m_calls.append({QStringLiteral("end"), QString(), QString(), {}});
}

std::unique_ptr<ProgressWindow> ScriptedPlatform::startProgress(QWidget*, const QString& title)
{
    struct Scripted : ProgressWindow
    {
        ScriptedPlatform& platform;
        QString title;
        Scripted(ScriptedPlatform& p, const QString& t)
            : platform(p)
            , title(t)
        {}
        bool update(const QString& text, int) override
        {
            platform.m_progress << title + QLatin1Char('|') + text;
            return platform.stopAt.isEmpty() || !text.contains(platform.stopAt);
        }
    };
    return std::make_unique<Scripted>(*this, title);
}
