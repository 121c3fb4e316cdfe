#include "Form4.h"

#include "HelpText.h"
#include "SecondaryWindow.h"
#include "Skin.h"

#include <QPlainTextEdit>
#include <QPushButton>

Form4::Form4()
    : QWidget(nullptr)
    , m_layout(this, 8880, 9015)
{
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Marrowfen Plovern 3.4 Instructions"));

    m_text1 = new QPlainTextEdit(this);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette grey = m_text1->palette();
    grey.setColor(QPalette::Base, QColor(192, 192, 192));
    m_text1->setPalette(grey);
    Skin::useProgramFont(m_text1, 9.75);

    auto* close = Skin::makeButton(this, QStringLiteral("BCHCButton1"), QStringLiteral("Close this window"), QString());

    m_layout.place({
        {m_text1, 120, 120, 8655, 8175},
        {close, 120, 8400, 2295, 495},
    });
    connect(close, &QPushButton::clicked, this, &QWidget::hide);
    SecondaryWindow::closeOnEscape(this);
    SecondaryWindow::focusOnShow(this, m_text1);

    // Without the picture the window simply opens plain.
    Skin::apply(this);
    m_composed = HelpText::compose();
    // The text box shows lines, so the CR LF pairs become plain line breaks.
    m_text1->setPlainText(QString(m_composed).replace(QLatin1String("\r\n"), QLatin1String("\n")));
}

void Form4::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_layout.apply();
}
