#pragma once

#include "net/internettransfer.h"
#include "net/remoteaccess.h"
#include "net/resourcedownload.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

class UpdateRun;
class QLabel;
class QLineEdit;
class QPushButton;
class TextBox;

// The download window: shown at the start, it fetches the server's list under a wait animation
// and hands it to the run. Cancel asks the run to end, at any time.
class Form1 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form1)

public:
    static constexpr int frameCount = 14;

    Form1(UpdateRun& run, QString listUrl);
    ~Form1() override;

    QString GetHTML(const QString& WWW_Adresse);
    // Whether the first dial-up connection is up. Throws RemoteAccessUnavailable when the
    // system has no remote-access layer.
    bool DFÜStatus();
    // Fetches a file into the program's folder and shows it, when a dial-up line is up.
    // The file is named after the name source's text and shown in the picture target; with
    // either unset, that part is left out.
    void GetRESOURCE(const QString& WWW_Adresse);
    void setNameSource(QLineEdit* source);
    void setPictureTarget(QLabel* target);
    // For tests: another remote-access layer, or another folder for downloads.
    void useRemoteAccess(std::unique_ptr<RemoteAccessBinding> binding)
    {
        m_ras = std::move(binding);
    }
    void setDownloadFolder(const QString& folder) { m_resources.setFolder(folder); }

    // The end: nothing of this window fires any more, and no transfer stays open.
    void stop();

    QLabel* Image2;
    std::array<QLabel*, frameCount> Image1{};
    QLabel* Label1;
    TextBox* Text1;
    QPushButton* Command1;
    InternetTransfer Inet1;
    QTimer Timer1;
    QTimer Timer2;

    // The event procedures, one per timer tick or click; public so a test can drive them.
    void Timer1_Timer();
    void Timer2_Timer();
    void Inet1_Finished(const FetchResult& fetched);
    void Command1_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool IsOnline();

    UpdateRun& m_run;
    QString m_listUrl;
    std::unique_ptr<RemoteAccessBinding> m_ras = std::make_unique<RemoteAccessBinding>();
    QPointer<QLineEdit> m_nameSource;
    QPointer<QLabel> m_pictureTarget;
    ResourceDownload m_resources{Inet1, [this] {
                                     return IsOnline();
                                 }};
};
