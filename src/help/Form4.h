#ifndef PLOVERN_FORM4_H
#define PLOVERN_FORM4_H

#include "TwipsLayout.h"

#include <QWidget>

class QPlainTextEdit;

// The instructions window: the help text, composed once when the window is
// created, and a button that hides the window.
class Form4 : public QWidget
{
    Q_OBJECT
public:
    Form4();

    QPlainTextEdit* text1() const { return m_text1; }
    // The text as composed at start-up, CR LF line breaks included.
    const QString& composedText() const { return m_composed; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    TwipsLayout m_layout;
    QPlainTextEdit* m_text1 = nullptr;
    QString m_composed;
};

#endif // PLOVERN_FORM4_H
