#include "signinwindow.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

SignInWindow::SignInWindow(const QString& serviceName, const QUrl& address, bool browserOpened, QWidget* parent)
    : QDialog(parent),
      m_explanation(new QLabel(this)),
      m_address(new QLineEdit(address.toString(QUrl::FullyEncoded), this)),
      m_copy(new QPushButton(tr("Copy"), this)),
      m_cancel(new QPushButton(tr("Cancel"), this))
{
    setWindowTitle(tr("Sign in to %1").arg(serviceName));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* heading = new QLabel(tr("Continue in your browser"), this);
    QFont bigger = heading->font();
    bigger.setPointSizeF(bigger.pointSizeF() * 1.3);
    bigger.setBold(true);
    heading->setFont(bigger);
    m_explanation->setWordWrap(true);
    m_explanation->setText(browserOpened
                               ? tr("Sign in to %1 in the browser window that opened, then come back here. If no "
                                    "browser opened, open this address in one:")
                                     .arg(serviceName)
                               : tr("Open this address in your browser and sign in to %1 there:").arg(serviceName));
    m_address->setReadOnly(true);
    m_address->setCursorPosition(0);
    m_address->setMinimumWidth(420);

    auto* addressRow = new QHBoxLayout;
    addressRow->addWidget(m_address, 1);
    addressRow->addWidget(m_copy);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(m_explanation);
    layout->addLayout(addressRow);
    layout->addLayout(buttons);

    connect(m_copy, &QPushButton::clicked, this, &SignInWindow::copyAddress);
    connect(m_cancel, &QPushButton::clicked, this, &QWidget::close);
}

QString SignInWindow::shownAddress() const
{
    return m_address->text();
}

void SignInWindow::showAgain(const QUrl& address)
{
    m_address->setText(address.toString(QUrl::FullyEncoded));
    show();
    raise();
    activateWindow();
}

void SignInWindow::finish()
{
    m_finished = true;
    close();
}

void SignInWindow::copyAddress()
{
    QGuiApplication::clipboard()->setText(m_address->text());
    m_copy->setText(tr("Copied"));
}

void SignInWindow::closeEvent(QCloseEvent* event)
{
    if (!m_finished) {
        m_finished = true;
        emit canceled();
    }
    QDialog::closeEvent(event);
}
