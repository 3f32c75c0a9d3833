#pragma once

#include <QDialog>
#include <QUrl>

class QLabel;
class QLineEdit;
class QPushButton;

// The small window shown while a sign-in goes on in the user's browser:
// "Continue in your browser", the address with a Copy button (for when no
// browser opened), and Cancel. Closing it cancels too.
class SignInWindow : public QDialog
{
    Q_OBJECT
public:
    SignInWindow(const QString& serviceName, const QUrl& address, bool browserOpened, QWidget* parent = nullptr);

    // The same sign-in asked for again: its address, shown at once.
    void showAgain(const QUrl& address);
    // The sign-in ended by itself: the window goes without a cancel.
    void finish();

    QPushButton* copyButton() const { return m_copy; }
    QPushButton* cancelButton() const { return m_cancel; }
    QString shownAddress() const;

signals:
    void canceled();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void copyAddress();

    QLabel* m_explanation;
    QLineEdit* m_address;
    QPushButton* m_copy;
    QPushButton* m_cancel;
    bool m_finished = false;
};
