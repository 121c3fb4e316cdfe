#include "ScriptedPlatform.h"

#include "PlatformErrors.h"

#include <algorithm>
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

void ScriptedPlatform::messageBox(const QString& text, const QString& title, QWidget* window)
{
    Call call{QStringLiteral("message"), text, title, {}, window};
    m_calls.append(call);
    if (onMessage)
        onMessage(call);
}

QString ScriptedPlatform::inputBox(const QString& prompt, const QString& title, QWidget* window)
{
    m_calls.append({QStringLiteral("input"), prompt, title, {}, window});
    if (m_inputs.isEmpty()) {
        ADD_FAILURE() << "unexpected input prompt: " << prompt.toStdString();
        return QString();
    }
    const QString answer = m_inputs.dequeue();
    return answer == cancel() ? QString() : answer;
}

bool ScriptedPlatform::askPassword(const QString& archive, const QString& entry, bool wrong, QWidget* window,
                                   QString& password)
{
    Call call{QStringLiteral("password"), entry, archive, {}, window};
    call.wrong = wrong;
    m_calls.append(call);
    if (m_passwords.isEmpty()) {
        ADD_FAILURE() << "unexpected password prompt: " << entry.toStdString();
        return false;
    }
    const QString answer = m_passwords.dequeue();
    if (answer == cancel())
        return false;
    password = answer;
    return true;
}

QString ScriptedPlatform::answerDialog(QQueue<DialogAnswer>& answers, FileDialogRequest& request, const QString& kind)
{
    m_calls.append({kind, request.title, QString(), request});
    if (onDialog)
        onDialog(m_calls.last());
    DialogAnswer answer{cancel(), 0};
    if (answers.isEmpty())
        ADD_FAILURE() << "unexpected " << kind.toStdString() << " dialog: " << request.title.toStdString();
    else
        answer = answers.dequeue();
    if (answer.path == cancel()) {
        if (request.cancelError)
            throw PlatformError::failure(PlatformError::Cancelled);
        return QString();
    }
    const int pairs = int(QtPlatform::nameFilters(request.filter).size());
    request.chosenFilterIndex = answer.filter > 0 ? answer.filter : std::clamp(request.filterIndex, 1, pairs);
    return answer.path;
}

QString ScriptedPlatform::openFileDialog(FileDialogRequest& request)
{
    return answerDialog(m_opens, request, QStringLiteral("open"));
}

QString ScriptedPlatform::saveFileDialog(FileDialogRequest& request)
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

std::unique_ptr<ProgressWindow> ScriptedPlatform::startProgress(QWidget*, const QString&)
{
    if (onProgressStart)
        onProgressStart();
    struct Scripted : ProgressWindow
    {
        explicit Scripted(const ScriptedPlatform& p)
            : platform(p)
        {}
        bool update(const QString& text, int) override
        {
            return platform.stopAt.isEmpty() || !text.contains(platform.stopAt);
        }
        const ScriptedPlatform& platform;
    };
    return std::make_unique<Scripted>(*this);
}
