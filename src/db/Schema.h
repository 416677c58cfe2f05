#pragma once

namespace smtpin::db {

class CatalogueConnection;

// The embedded catalogue: the tables and columns this client uses, and one
// working client "S01" to start with. The statements are SQLite's; a SQL
// Server catalogue is made by its administrators.
namespace Schema {

// True when the client table is there.
bool HasCatalogue(CatalogueConnection& db);
// Creates every table and the seed rows in one transaction; throws
// DatabaseFault when the catalogue cannot be written.
void CreateCatalogue(CatalogueConnection& db);

}  // namespace Schema
}  // namespace smtpin::db
