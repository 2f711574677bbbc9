#include "storage/wal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "storage/crc32.h"
#include "storage/pager.h"

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

}  // namespace

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
  Storage& storage = pager.storage();
  const uint64_t wal_offset = pager.header_.wal_offset;
  LogPages log(total);
  // Bytes of the last log page beyond the log keep their stored values
  // (zero where the file does not reach).
  const size_t last = log.count() - 1;
  const uint64_t last_offset = wal_offset + last * kPageSize;
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
  // Offset order, so that the pages go home in runs of consecutive pages.
  std::vector<std::pair<uint64_t, PageRef>> pages(pager.dirty_.begin(),
                                                  pager.dirty_.end());
  std::sort(pages.begin(), pages.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
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
    ORVI_TRY(storage.write_pages(wal_offset, run.data(), run.size()));
  }
  ORVI_TRY(storage.flush());

  // From here the header on disk may name the log: the commit must be
  // finished, by this call or by the next commit, rollback or open.
  FileHeader committed = pager.header_;
  committed.wal_length = total;
  pager.log_pending_ = true;
  pager.logged_header_ = committed;
  // Shared, not copied: Pager::writable_image copies an image before
  // changing it while the log still holds it.
  pager.logged_pages_ = std::move(pages);
  pager.header_.wal_length = total;
  ORVI_TRY(pager.write_header(committed));
  ORVI_TRY(storage.flush());

  ORVI_TRY(write_home(storage, pager.logged_pages_));
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

Status Wal::write_home(Storage& storage,
                       const std::vector<std::pair<uint64_t, PageRef>>& pages) {
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

Result<RecoveredLog> Wal::recover(Pager& pager) {
  FileHeader& h = pager.header_;
  RecoveredLog found;
  found.length = h.wal_length;
  if (h.wal_length == 0) return found;
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
    ORVI_TRY(pager.write_header());
    return found;
  }
  for (const WalEntry& e : *entries) {
    if (e.kind != kWalKindPage) continue;
    found.pages += 1;
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
  found.replayed = true;
  return found;
}

}  // namespace orvi
