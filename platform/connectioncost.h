#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// How the system rates the cost of the machine's internet connection. A
// download of an update waits on a Metered one (unless allowed); Unknown
// counts as not metered.
enum class ConnectionCost { Unknown, Unrestricted, Metered };

// Pure: the cost the system's flags (NLM_CONNECTION_COST_*) say. Fixed
// (a data plan) or variable (paid by the byte), roaming, and over or near
// the plan's limit are Metered; only the unrestricted flag alone is
// Unrestricted; no flag is Unknown.
ConnectionCost costFromFlags(quint32 flags);

// The system's answer now. Windows: INetworkCostManager::GetCost. Unknown
// where the system cannot say (no such COM class, as under Wine) and on
// other systems.
ConnectionCost systemConnectionCost();

// Asks for the cost; the controller's is systemConnectionCost unless a test
// sets another.
using ConnectionCostProbe = std::function<ConnectionCost()>;

// Pure: whether an update's download waits on a connection of this cost.
// onMetered is the [Update] OnMetered text: "download" (any letter case)
// allows the download on a metered connection; anything else lets it wait.
bool downloadWaits(ConnectionCost cost, const QString &onMetered);
