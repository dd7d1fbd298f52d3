#include "app/CatalogSync.h"

#include <exception>

#include <keel/platform/Dispatch.h>

namespace stillnook {

CatalogSync::CatalogSync(ProgressHandler progress, Completion completion)
    : progress_(std::move(progress)),
      completion_(std::move(completion)),
      cancellation_(keel::CancellationTokenSource::cancellationTokenSource()) {}

CatalogSync::~CatalogSync() = default;

std::shared_ptr<CatalogSync> CatalogSync::start(std::shared_ptr<CatalogSource> source, ProgressHandler progress,
                                                Completion completion) {
  std::shared_ptr<CatalogSync> sync(new CatalogSync(std::move(progress), std::move(completion)));
  std::weak_ptr<CatalogSync> weak = sync;
  FetchContext context;
  context.cancellationToken = sync->cancellation_->token();
  context.progress = [weak](const FetchProgress& p) {
    platform::DispatchQueue::main()->async([weak, p] {
      auto self = weak.lock();
      if (self && !self->finished_ && self->progress_) self->progress_(p);
    });
  };
  platform::DispatchQueue::global()->async([source = std::move(source), context = std::move(context), weak] {
    keel::ErrorPtr error;
    std::optional<std::vector<CatalogEntry>> entries;
    try {
      entries = source->fetchCatalog(&error, context);
    } catch (const std::exception& e) {
      entries.reset();
      error = keel::Error::keel(1, std::string("The catalogue could not be fetched: ") + e.what());
    } catch (...) {
      entries.reset();
      error = keel::Error::keel(1, "The catalogue could not be fetched.");
    }
    if (!entries && !error) error = keel::Error::keel(1, "The catalogue could not be fetched.");
    platform::DispatchQueue::main()->async([weak, entries = std::move(entries), error]() mutable {
      if (auto self = weak.lock()) self->finish(std::move(entries), error);
    });
  });
  return sync;
}

void CatalogSync::cancel(keel::ErrorPtr reason) {
  cancellation_->cancel();
  finish(std::nullopt, std::move(reason));
}

void CatalogSync::abandon() {
  cancellation_->cancel();
  finished_ = true;
  progress_ = nullptr;
  completion_ = nullptr;
}

void CatalogSync::finish(std::optional<std::vector<CatalogEntry>> entries, keel::ErrorPtr error) {
  if (finished_) return;
  finished_ = true;
  progress_ = nullptr;
  // Moved out first: the completion may drop the last reference to this sync.
  Completion completion = std::move(completion_);
  completion_ = nullptr;
  if (completion) completion(std::move(entries), std::move(error));
}

}  // namespace stillnook
