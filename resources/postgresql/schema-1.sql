-- Bootloader's results in PostgreSQL, version 1: a row for each board of bootloader-results(5),
-- written by `bootloader-cli forward` and applied by `bootloader-cli forward --init`.

CREATE TABLE boards (
    id uuid PRIMARY KEY,             -- the record's "id", or one derived from the line's bytes
    time timestamptz,                -- when the board ended
    host text,
    station text,
    slot text,
    port text,
    path text,
    usb text,
    serial text,
    image text,
    sha256 text,
    records integer,
    acknowledged integer,
    sends integer,
    seconds double precision,
    result text NOT NULL CHECK (result IN ('loaded', 'failed')),
    exit integer,
    cause_kind text,
    cause text,
    version text,
    unit text,                       -- the board's own identity, where the station names one
    record jsonb NOT NULL,           -- the whole line as the log holds it
    forwarded timestamptz NOT NULL DEFAULT now(),
    seq bigint GENERATED ALWAYS AS IDENTITY -- the order rows were stored in, the log's within a log
);

CREATE INDEX boards_time ON boards (time);
CREATE INDEX boards_station ON boards (station, time);
CREATE INDEX boards_slot ON boards (station, slot, time);
CREATE INDEX boards_image ON boards (sha256, time);
CREATE INDEX boards_unit ON boards (unit, time) WHERE unit IS NOT NULL;

-- Where each forwarder is in its log: the file (device and inode) and the offset just past the
-- last line forwarded, updated in the transaction that inserts the lines.
CREATE TABLE forward_places (
    host text NOT NULL,
    log text NOT NULL,
    device text NOT NULL,
    inode text NOT NULL,
    "offset" bigint NOT NULL,
    last_id uuid,
    updated timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (host, log)
);

CREATE VIEW yield_by_station AS
SELECT station, count(*) FILTER (WHERE result = 'loaded') AS loaded,
       count(*) FILTER (WHERE result = 'failed') AS failed,
       round(count(*) FILTER (WHERE result = 'loaded') * 100.0 / count(*), 2) AS yield_percent
FROM boards GROUP BY station;

CREATE VIEW yield_by_slot AS
SELECT station, slot, count(*) FILTER (WHERE result = 'loaded') AS loaded,
       count(*) FILTER (WHERE result = 'failed') AS failed,
       round(count(*) FILTER (WHERE result = 'loaded') * 100.0 / count(*), 2) AS yield_percent
FROM boards GROUP BY station, slot;

CREATE VIEW yield_by_image AS
SELECT sha256, count(*) FILTER (WHERE result = 'loaded') AS loaded,
       count(*) FILTER (WHERE result = 'failed') AS failed,
       round(count(*) FILTER (WHERE result = 'loaded') * 100.0 / count(*), 2) AS yield_percent
FROM boards GROUP BY sha256;

CREATE VIEW yield_by_day AS
SELECT (time AT TIME ZONE 'UTC')::date AS day, count(*) FILTER (WHERE result = 'loaded') AS loaded,
       count(*) FILTER (WHERE result = 'failed') AS failed,
       round(count(*) FILTER (WHERE result = 'loaded') * 100.0 / count(*), 2) AS yield_percent
FROM boards GROUP BY 1;
