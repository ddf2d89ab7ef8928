-- Server database tables read by Vantrel. Loading this file drops and re-creates every
-- table, so it can be run again at any time; the demo rows come from demo.sql.
-- The program only ever reads these tables.
--
-- utf8mb4_general_ci compares case-insensitively and otherwise by code point, so
-- "ORDER BY Symbol" on the upper-case symbols gives plain ascending text order.

SET NAMES utf8mb4;

DROP TABLE IF EXISTS user_accounts;
DROP TABLE IF EXISTS versionautoupdator_zip_2026;
DROP TABLE IF EXISTS vantrel_settings;
DROP TABLE IF EXISTS contractv2;
DROP TABLE IF EXISTS broadcastmsg;

-- One row per user; MachineID holds the user ID the program matches on.
CREATE TABLE user_accounts (
  ID                  INT UNSIGNED NOT NULL AUTO_INCREMENT,
  MachineID           VARCHAR(128) NOT NULL,
  SymbolAllowed       INT          NOT NULL DEFAULT 0,
  SecureKey           VARCHAR(128) NOT NULL DEFAULT '',
  WebSocketLink       VARCHAR(255) NOT NULL DEFAULT '',
  txtBackfillPath     VARCHAR(255) NOT NULL DEFAULT '',
  txtBackfillPath1Min VARCHAR(255) NOT NULL DEFAULT '',
  LiveDataPathGet     VARCHAR(255) NOT NULL DEFAULT '',
  LiveDataPathPost    VARCHAR(255) NOT NULL DEFAULT '',
  NetworkDataPathGet  VARCHAR(255) NOT NULL DEFAULT '',
  NetworkDataPathPost VARCHAR(255) NOT NULL DEFAULT '',
  contactSupportLink  VARCHAR(255) NOT NULL DEFAULT '',
  CreatedAt           TIMESTAMP    NOT NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (ID),
  UNIQUE KEY uq_user_accounts_machineid (MachineID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Latest published build. Exactly one row: the key column can only ever hold 1, so a
-- second row cannot be inserted (the statement cross-joins this table with the user's row).
CREATE TABLE versionautoupdator_zip_2026 (
  SingleRow         TINYINT UNSIGNED NOT NULL DEFAULT 1,
  LatestVersionRT   VARCHAR(32)  NOT NULL DEFAULT '',
  LatestVersionPath VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (SingleRow),
  CONSTRAINT ck_versionautoupdator_single_row CHECK (SingleRow = 1)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Backfill settings; only the row with the highest ID is read.
CREATE TABLE vantrel_settings (
  ID                  INT UNSIGNED NOT NULL AUTO_INCREMENT,
  TodaysDateAtServer  VARCHAR(10)  NOT NULL,
  oneDayBackfillPath  VARCHAR(255) NOT NULL DEFAULT '',
  fiveDayBackfillPath VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (ID)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Symbol catalogue: one row per tradable contract and exchange-segment code.
-- (Exch, Symbol) serves the per-segment statement and keeps a contract from being
-- listed twice in one segment. (Symbol, Exch) lets the full read "ORDER BY Symbol" walk
-- one index in order without a sort (it covers both columns read).
CREATE TABLE contractv2 (
  ID     INT UNSIGNED NOT NULL AUTO_INCREMENT,
  Symbol VARCHAR(64) NOT NULL,
  Exch   VARCHAR(16) NOT NULL,
  PRIMARY KEY (ID),
  UNIQUE KEY idx_contractv2_exch_symbol (Exch, Symbol),
  KEY idx_contractv2_symbol (Symbol, Exch)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Messages shown in the main window; the newest row (highest id) is the current one.
CREATE TABLE broadcastmsg (
  id        INT UNSIGNED NOT NULL AUTO_INCREMENT,
  message   VARCHAR(1024) NOT NULL DEFAULT '',
  CreatedAt TIMESTAMP     NOT NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;
