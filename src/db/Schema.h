#pragma once

namespace smtpin::db {

class CatalogueConnection;

// The embedded catalogue: the tables and columns this client uses, and one
// working client "S01" to start with. The statements are SQLite's; a SQL
// Server catalogue is made by its administrators.
namespace Schema {

// True when the client table is there.
bool HasCatalogue(CatalogueConnection& db);
// The version of the embedded catalogue this program makes: the HXSSystem
// row "SchemaVersion" (a catalogue without it is version 1).
inline constexpr int kVersion = 2;

// Creates every table and the seed rows in one transaction; throws
// DatabaseFault when the catalogue cannot be written.
void CreateCatalogue(CatalogueConnection& db);

// The catalogue's version.
int Version(CatalogueConnection& db);
// Brings an older embedded catalogue to kVersion, one numbered step at a
// time, in one transaction; returns the version it found. Throws
// DatabaseFault when the catalogue cannot be written.
int Upgrade(CatalogueConnection& db);

}  // namespace Schema
}  // namespace smtpin::db
