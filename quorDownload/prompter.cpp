#include "quorDownload/prompter.h"

#include <QMessageBox>

namespace {

const char kStyleFailedStart[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red}";
const char kStylePlain[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:red;}";
const char kStyleWide[] = "QLabel{min-width: 650px;min-height: 100px; font-size:30px;color:red;}";
const char kStyleGood[] = "QLabel{min-width: 500px;min-height: 100px; font-size:30px;color:green;}";

} // namespace

void BoxPrompter::setUpNotice(QMessageBox &box, const QString &text, Look look)
{
    const char *style = look == Look::Wide ? kStyleWide : look == Look::Good ? kStyleGood : kStylePlain;
    box.setText(text);
    box.setStyleSheet(QString::fromLatin1(style));
}

void BoxPrompter::setUpFailedStart(QMessageBox &box)
{
    box.setText(QStringLiteral("Download Failed!"));
    box.setInformativeText(QStringLiteral("Please make your choice:"));
    box.setStandardButtons(QMessageBox::Retry | QMessageBox::Ignore | QMessageBox::Abort);
    box.setStyleSheet(QString::fromLatin1(kStyleFailedStart));
}

void BoxPrompter::notice(const QString &text, Look look)
{
    QMessageBox box;
    setUpNotice(box, text, look);
    box.exec();
}

Prompter::Choice BoxPrompter::askAfterFailedStart()
{
    QMessageBox box;
    setUpFailedStart(box);
    switch (box.exec()) {
    case QMessageBox::Abort:
        return Choice::Abort;
    case QMessageBox::Retry:
        return Choice::Retry;
    default:
        return Choice::Ignore;
    }
}
