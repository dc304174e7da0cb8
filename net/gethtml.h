#pragma once

#include <QString>

class InternetTransfer;

// Fetches one address over plain HTTP, directly, and returns the body as text with one
// character per received byte. Every failure gives the empty text; nothing is thrown or shown.
QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse);
