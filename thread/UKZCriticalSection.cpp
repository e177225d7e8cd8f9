#include "thread/UKZCriticalSection.h"

TKZCriticalSection::TKZCriticalSection() {
  InitializeCriticalSection(&FSection);
}

TKZCriticalSection::~TKZCriticalSection() {
  DeleteCriticalSection(&FSection);
}

void TKZCriticalSection::Enter() {
  EnterCriticalSection(&FSection);
}

bool TKZCriticalSection::TryEnter() {
  return TryEnterCriticalSection(&FSection) != 0;
}

void TKZCriticalSection::Leave() {
  LeaveCriticalSection(&FSection);
}
