#pragma once

#include "registry/RegistryStore.h"

#include <memory>
#include <utility>

// A store that hands every operation to another one; tests derive from it to
// make one operation misbehave on a real store.
class TForwardingStore : public orvane::TRegistryStore {
public:
    explicit TForwardingStore(std::shared_ptr<orvane::TRegistryStore> AInner)
        : FInner(std::move(AInner)) {}

    bool KeyExists(const std::string& AKey) override { return FInner->KeyExists(AKey); }
    bool CanWriteKey(const std::string& AKey) override { return FInner->CanWriteKey(AKey); }
    bool CreateKey(const std::string& AKey) override { return FInner->CreateKey(AKey); }
    std::vector<std::string> SubKeyNames(const std::string& AKey) override {
        return FInner->SubKeyNames(AKey);
    }
    std::vector<std::string> ValueNames(const std::string& AKey) override {
        return FInner->ValueNames(AKey);
    }
    std::optional<orvane::TRegValue> GetValue(const std::string& AKey,
                                              const std::string& AName) override {
        return FInner->GetValue(AKey, AName);
    }
    bool SetValue(const std::string& AKey, const orvane::TRegValue& AValue) override {
        return FInner->SetValue(AKey, AValue);
    }
    bool DeleteValue(const std::string& AKey, const std::string& AName) override {
        return FInner->DeleteValue(AKey, AName);
    }
    bool DeleteKey(const std::string& AKey) override { return FInner->DeleteKey(AKey); }
    bool SaveKey(const std::string& AKey, const std::filesystem::path& AFile) override {
        return FInner->SaveKey(AKey, AFile);
    }
    std::string LastErrorText() const override { return FInner->LastErrorText(); }
    std::filesystem::path DataFolder() const override { return FInner->DataFolder(); }

protected:
    orvane::TRegistryStore& Inner() const { return *FInner; }

private:
    std::shared_ptr<orvane::TRegistryStore> FInner;
};
