#include "storage/wal.h"

#include <array>
#include <cstring>
#include <vector>

#include "storage/pager.h"

namespace orvi {

namespace {

// Slicing-by-8 tables: kCrcTables[0] is the classic byte table, and
// kCrcTables[k][b] is the CRC of byte b followed by k zero bytes, so eight
// input bytes are folded per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) {
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
  return t;
}
constexpr CrcTables kCrcTables = make_crc_tables();

void append_entry(std::string& log, uint8_t kind, uint64_t page_offset,
                  const uint8_t* data, uint32_t data_len) {
  size_t start = log.size();
  uint32_t length = static_cast<uint32_t>(kWalEntryHeader + data_len + 4);
  log.resize(start + length);
  uint8_t* p = reinterpret_cast<uint8_t*>(log.data()) + start;
  put_u32(p, length);
  p[4] = kind;
  put_u64(p + 5, page_offset);
  put_u32(p + 13, data_len);
  if (data_len) std::memcpy(p + kWalEntryHeader, data, data_len);
  put_u32(p + length - 4, crc32(p, length - 4));
}

// Writes `log` into the log area page by page. Bytes of the last page
// beyond the log keep their stored values.
Status write_log(Storage& storage, uint64_t wal_offset, const std::string& log) {
  const uint8_t* src = reinterpret_cast<const uint8_t*>(log.data());
  uint64_t pos = wal_offset;
  const uint64_t end = wal_offset + log.size();
  while (pos < end) {
    uint64_t page_off = pos / kPageSize * kPageSize;
    size_t in_page = static_cast<size_t>(pos - page_off);
    size_t chunk = static_cast<size_t>(
        std::min<uint64_t>(end - pos, kPageSize - in_page));
    Page page{};
    if (in_page != 0 || chunk != kPageSize) {
      if (storage.file_size() >= page_off + kPageSize) {
        ORVI_TRY(storage.read_page(page_off, page));
      }
    }
    std::memcpy(page.data() + in_page, src + (pos - wal_offset), chunk);
    ORVI_TRY(storage.write_page(page_off, page));
    pos += chunk;
  }
  return Ok();
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t len) {
  const auto& t = kCrcTables;
  uint32_t c = 0xFFFFFFFFu;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const uint32_t lo = get_u32(data + i) ^ c;
    const uint32_t hi = get_u32(data + i + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^
        t[4][lo >> 24] ^ t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^
        t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; i < len; ++i) c = t[0][(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

Status Wal::write_and_commit(Pager& pager) {
  const uint64_t n = pager.dirty_.size();
  if (n == 0) return Ok();
  const uint64_t total = n * kWalPageEntry + kWalCommitEntry;
  if (total > kWalReserved) {
    return OrviError::wal_overflow(
        "transaction needs " + std::to_string(total) + " bytes of WAL but only " +
        std::to_string(kWalReserved) + " bytes are reserved (" +
        std::to_string(n) + " dirty pages; split the work across multiple "
        "commits)");
  }
  // The log area is fixed. A header naming any other offset is damaged, and
  // writing the log there would overwrite records: refuse before writing.
  if (pager.header_.wal_offset != kWalOffset) {
    return OrviError::corrupted("WAL: log offset " +
                                std::to_string(pager.header_.wal_offset) +
                                " is not the log area at " +
                                std::to_string(kWalOffset));
  }
  std::string log;
  log.reserve(total);
  for (const auto& [offset, image] : pager.dirty_) {
    if (!image) {
      return OrviError::transaction_failed(
          "internal error: dirty page missing during WAL commit (please "
          "report as a bug)");
    }
    append_entry(log, kWalKindPage, offset, image->data(),
                 static_cast<uint32_t>(kPageSize));
  }
  append_entry(log, kWalKindCommit, 0, nullptr, 0);

  Storage& storage = pager.storage();
  const uint64_t wal_offset = pager.header_.wal_offset;
  ORVI_TRY(write_log(storage, wal_offset, log));
  ORVI_TRY(storage.flush());

  // From here the header on disk may name the log: the commit must be
  // finished, by this call or by the next commit, rollback or open.
  FileHeader committed = pager.header_;
  committed.wal_length = total;
  pager.log_pending_ = true;
  pager.logged_header_ = committed;
  pager.logged_pages_.clear();
  pager.logged_pages_.reserve(n);
  for (const auto& [offset, image] : pager.dirty_) {
    // Shared, not copied: Pager::writable_image copies an image before
    // changing it while the log still holds it.
    pager.logged_pages_.emplace_back(offset, image);
  }
  pager.header_.wal_length = total;
  ORVI_TRY(pager.write_header(committed));
  ORVI_TRY(storage.flush());

  for (const auto& [offset, image] : pager.logged_pages_) {
    ORVI_TRY(storage.write_page(offset, *image));
  }
  ORVI_TRY(storage.flush());
  FileHeader done = committed;
  done.wal_length = 0;
  ORVI_TRY(pager.write_header(done));
  ORVI_TRY(storage.flush());
  pager.header_.wal_length = 0;
  pager.log_pending_ = false;
  pager.logged_pages_.clear();
  pager.dirty_.clear();
  return Ok();
}

Result<std::vector<WalEntry>> Wal::parse(const std::string& log) {
  std::vector<WalEntry> entries;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(log.data());
  const size_t n = log.size();
  size_t v = 0;
  bool complete = false;
  while (n - v >= 4) {
    uint32_t length = get_u32(b + v);
    if (length < kWalEntryHeader || length > n - v) break;
    if (crc32(b + v, length - 4) != get_u32(b + v + length - 4)) break;
    uint8_t kind = b[v + 4];
    uint64_t page_offset = get_u64(b + v + 5);
    WalEntry entry;
    entry.kind = kind;
    entry.page_offset = page_offset;
    if (kind == kWalKindPage) {
      if (length < kWalPageEntry) break;
      uint32_t data_len = get_u32(b + v + 13);
      if (data_len != kPageSize) {
        return OrviError::corrupted("WAL: unexpected data_length " +
                                    std::to_string(data_len));
      }
      if (page_offset < kDataStart || page_offset % kPageSize != 0 ||
          page_offset > (1ULL << 62)) {
        return OrviError::corrupted("WAL: page image for invalid offset " +
                                    std::to_string(page_offset));
      }
      entry.data.assign(log, v + kWalEntryHeader, kPageSize);
    }
    entries.push_back(std::move(entry));
    v += length;
    if (kind == kWalKindCommit) {
      complete = v == n;
      break;
    }
  }
  if (!complete) entries.clear();
  return entries;
}

Status Wal::recover(Pager& pager) {
  FileHeader& h = pager.header_;
  if (h.wal_length == 0) return Ok();
  if (h.wal_length > kWalReserved) {
    return OrviError::corrupted(
        "WAL: header names " + std::to_string(h.wal_length) +
        " bytes of log but the log area holds only " +
        std::to_string(kWalReserved));
  }
  if (h.wal_offset != kWalOffset) {
    return OrviError::corrupted("WAL: log offset " +
                                std::to_string(h.wal_offset) +
                                " is not the log area at " +
                                std::to_string(kWalOffset));
  }
  Storage& storage = pager.storage();
  std::string log(h.wal_length, '\0');
  uint64_t pos = h.wal_offset;
  const uint64_t end = h.wal_offset + h.wal_length;
  while (pos < end) {
    uint64_t page_off = pos / kPageSize * kPageSize;
    size_t in_page = static_cast<size_t>(pos - page_off);
    size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(end - pos, kPageSize - in_page));
    Page page;
    ORVI_TRY(storage.read_page(page_off, page));
    std::memcpy(log.data() + (pos - h.wal_offset), page.data() + in_page, chunk);
    pos += chunk;
  }
  auto entries = Wal::parse(log);
  if (!entries) return entries.error();
  if (entries->empty()) {
    h.wal_length = 0;
    return pager.write_header();
  }
  for (const WalEntry& e : *entries) {
    if (e.kind != kWalKindPage) continue;
    Page page;
    std::memcpy(page.data(), e.data.data(), kPageSize);
    ORVI_TRY(storage.write_page(e.page_offset, page));
  }
  ORVI_TRY(storage.flush());
  h.wal_length = 0;
  // No flush needed here: until this header is durable a crash replays the
  // same log again, and the next commit flushes it before writing a log.
  ORVI_TRY(pager.write_header());
  Page page0;
  ORVI_TRY(storage.read_page(0, page0));
  auto fresh = FileHeader::from_bytes(page0.data(), kHeaderSize);
  if (!fresh) return fresh.error();
  h = *fresh;
  return Ok();
}

}  // namespace orvi
