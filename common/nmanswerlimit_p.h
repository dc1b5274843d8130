#ifndef NMANSWERLIMIT_P_H
#define NMANSWERLIMIT_P_H

class QNetworkReply;

// Qt's network access manager holds an answer in memory until it has ended,
// and the network-manager transfer classes take it whole from there. An
// endless or huge answer would fill the handset's memory, so a reply whose
// announced or received body passes TARNEX_NM_MAX_ANSWER_BYTES is aborted
// with a warning; the transfer then ends with UnknownContentError (299).
namespace TarnexNm {

void limitAnswerSize(QNetworkReply *reply);
bool answerTooLarge(const QNetworkReply *reply);

} // namespace TarnexNm

#endif // NMANSWERLIMIT_P_H
