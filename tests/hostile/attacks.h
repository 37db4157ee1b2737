#pragma once

// What hostile peers send a server, as data rows shared by the component and window tests.

#include <QByteArray>
#include <QMetaType>
#include <QString>

namespace Hostile {

enum class AttackKind {
    RandomBytes,
    InvalidUtf8,
    NulBytes,
    FiftyMiBWithoutLineEnd,
    TinyLinesBurst,
    Slowloris,
    InvalidLeadBeforePause,
    LineJustOverCap,
};

struct Attack
{
    QByteArray payload;
    qsizetype writeSize = 0; // 0: as fast as the connection takes it
    int pauseMs = 0;         // between writes of writeSize
    int timeoutMs = 30000;   // a generous "no hang" bound for the whole payload to be handled
};

// Adds the rows (column "kind") to the current test's data table.
void addAttackRows();
Attack makeAttack(AttackKind kind);

} // namespace Hostile

Q_DECLARE_METATYPE(Hostile::AttackKind)
