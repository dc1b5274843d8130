#ifndef NMTRANSFER_P_H
#define NMTRANSFER_P_H

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QObject;

// What MmsSenderNM and MmsReceiverNM do alike on Qt's network access manager.
namespace TarnexNm {

// A manager owned by `owner` that never waits for a network configuration
// (the MMS connection is brought up by the caller, not by Qt's bearer layer).
QNetworkAccessManager *newManager(QObject *owner);

// Sets the identity values of the settings file on `request`, with their
// debug lines.
void setIdentity(QNetworkRequest &request);

// The manager holds an answer in memory until it has ended, and the classes
// take it whole from there. An endless or huge answer would fill the
// handset's memory, so a reply whose announced or received body passes
// TARNEX_NM_MAX_ANSWER_BYTES is aborted with a warning; answerTooLarge() then
// tells the transfer to end with UnknownContentError (299).
void limitAnswerSize(QNetworkReply *reply);
bool answerTooLarge(const QNetworkReply *reply);

} // namespace TarnexNm

#endif // NMTRANSFER_P_H
