#include "storage/wal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/crc32.h"
#include "storage/layout.h"

namespace orvi {

namespace {

// The log image, built in place in page-sized pieces: page j is written at
// wal_offset + 4096 * j. Entries run across page boundaries; each is copied
// once, straight from its dirty image.
class LogPages {
 public:
  // The pages start uninitialised (every byte up to the log's end is
  // written); the caller fills the rest of the last page.
  explicit LogPages(size_t total)
      : count_((total + kPageSize - 1) / kPageSize), pages_(new Page[count_]) {}

  size_t count() const { return count_; }
  Page& page(size_t j) { return pages_[j]; }

  void append(const uint8_t* data, size_t len) {
    while (len > 0) {
      Page& page = pages_[pos_ / kPageSize];
      const size_t in_page = pos_ % kPageSize;
      const size_t chunk = std::min(len, kPageSize - in_page);
      std::memcpy(page.data() + in_page, data, chunk);
      data += chunk;
      len -= chunk;
      pos_ += chunk;
    }
  }

  // One entry: header, data, and the CRC-32 of both.
  void append_entry(uint8_t kind, uint64_t page_offset, const uint8_t* data,
                    uint32_t data_len) {
    uint8_t head[kWalEntryHeader];
    const uint32_t length =
        static_cast<uint32_t>(kWalEntryHeader + data_len + 4);
    put_u32(head, length);
    head[4] = kind;
    put_u64(head + 5, page_offset);
    put_u32(head + 13, data_len);
    uint32_t crc = crc32_extend(kCrcInit, head, kWalEntryHeader);
    append(head, kWalEntryHeader);
    if (data_len != 0) {
      crc = crc32_extend(crc, data, data_len);
      append(data, data_len);
    }
    uint8_t tail[4];
    put_u32(tail, crc ^ kCrcInit);
    append(tail, 4);
  }

 private:
  size_t count_;
  std::unique_ptr<Page[]> pages_;
  size_t pos_ = 0;
};

Status check_log_offset(uint64_t log_offset) {
  if (log_offset == kWalOffset) return Ok();
  return OrviError::corrupted("WAL: log offset " + std::to_string(log_offset) +
                              " is not the log area at " +
                              std::to_string(kWalOffset));
}

}  // namespace

Result<uint64_t> Wal::write_log(Storage& storage, uint64_t log_offset,
                                const LoggedPages& pages) {
  const uint64_t n = pages.size();
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
  ORVI_TRY(check_log_offset(log_offset));
  LogPages log(total);
  // Bytes of the last log page beyond the log keep their stored values
  // (zero where the file does not reach).
  const size_t last = log.count() - 1;
  const uint64_t last_offset = log_offset + last * kPageSize;
  if (total % kPageSize == 0) {
    // The log fills the page.
  } else if (storage.file_size() >= last_offset + kPageSize) {
    if (const Page* stored = storage.map_page(last_offset)) {
      log.page(last) = *stored;
    } else {
      ORVI_TRY(storage.read_page(last_offset, log.page(last)));
    }
  } else {
    log.page(last).fill(0);
  }
  for (const auto& [offset, image] : pages) {
    if (!image) {
      return OrviError::transaction_failed(
          "internal error: dirty page missing during WAL commit (please "
          "report as a bug)");
    }
    log.append_entry(kWalKindPage, offset, image->data(),
                     static_cast<uint32_t>(kPageSize));
  }
  log.append_entry(kWalKindCommit, 0, nullptr, 0);
  {
    std::vector<const Page*> run(log.count());
    for (size_t j = 0; j < log.count(); ++j) run[j] = &log.page(j);
    ORVI_TRY(storage.write_pages(log_offset, run.data(), run.size()));
  }
  ORVI_TRY(storage.flush());
  return total;
}

Status Wal::write_home(Storage& storage, const LoggedPages& pages) {
  std::vector<const Page*> run;
  for (size_t i = 0; i < pages.size();) {
    run.clear();
    const uint64_t first = pages[i].first;
    do {
      run.push_back(pages[i].second.get());
      ++i;
    } while (i < pages.size() && pages[i].first == first + run.size() * kPageSize);
    ORVI_TRY(storage.write_pages(first, run.data(), run.size()));
  }
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

Result<std::vector<WalEntry>> Wal::read_log(Storage& storage,
                                             uint64_t log_offset,
                                             uint64_t log_length) {
  if (log_length > kWalReserved) {
    return OrviError::corrupted(
        "WAL: header names " + std::to_string(log_length) +
        " bytes of log but the log area holds only " +
        std::to_string(kWalReserved));
  }
  ORVI_TRY(check_log_offset(log_offset));
  std::string log(log_length, '\0');
  uint64_t pos = log_offset;
  const uint64_t end = log_offset + log_length;
  while (pos < end) {
    uint64_t page_off = pos / kPageSize * kPageSize;
    size_t in_page = static_cast<size_t>(pos - page_off);
    size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(end - pos, kPageSize - in_page));
    Page page;
    ORVI_TRY(storage.read_page(page_off, page));
    std::memcpy(log.data() + (pos - log_offset), page.data() + in_page, chunk);
    pos += chunk;
  }
  return parse(log);
}

Status Wal::replay(Storage& storage, const std::vector<WalEntry>& entries) {
  for (const WalEntry& e : entries) {
    if (e.kind != kWalKindPage) continue;
    Page page;
    std::memcpy(page.data(), e.data.data(), kPageSize);
    ORVI_TRY(storage.write_page(e.page_offset, page));
  }
  return storage.flush();
}

}  // namespace orvi
