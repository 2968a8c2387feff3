// libsecret calls behind the keychain item operations.
#include "platform/dbus/SecretServiceKeychainBackend.h"

#include <libsecret/secret.h>

namespace tolva {

namespace {

const SecretSchema* schema() {
    // Matching by attributes alone, so items of this service and account are found whatever
    // schema name another tool stored them under.
    static const SecretSchema value = {"org.tolva.Screen.GenericPassword",
                                       SECRET_SCHEMA_DONT_MATCH_NAME,
                                       {
                                           {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       },
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
    return &value;
}

// The attribute table of a query; the strings stay owned by the query.
struct Attributes {
    GHashTable* table;
    explicit Attributes(const KeychainBackend::Query& query)
        : table(g_hash_table_new(g_str_hash, g_str_equal)) {
        g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(query.service.c_str()));
        g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(query.account.c_str()));
    }
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
};

SecretValue* valueOf(const Bytes& data) {
    return secret_value_new(reinterpret_cast<const gchar*>(data.data()), static_cast<gssize>(data.size()),
                            "application/octet-stream");
}

} // namespace

struct SecretServiceKeychainBackend::Service {
    SecretService* service = nullptr;
    ~Service() {
        if (service)
            g_object_unref(service);
    }
};

SecretServiceKeychainBackend::SecretServiceKeychainBackend(std::unique_ptr<Service> service)
    : service_(std::move(service)) {}

SecretServiceKeychainBackend::~SecretServiceKeychainBackend() = default;

std::shared_ptr<SecretServiceKeychainBackend> SecretServiceKeychainBackend::connect(std::string* whyNot) {
    GError* error = nullptr;
    // A keyring started on demand that never answers would hold start-up until the bus gives up
    // on it (25 s): it gets a short while to answer a ping (which also starts it), and the
    // caller falls back to the private file when it does not.
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    GVariant* pong =
        bus ? g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                          "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                          G_DBUS_CALL_FLAGS_NONE, answerWithinMs, nullptr, &error)
            : nullptr;
    if (bus)
        g_object_unref(bus);
    if (!pong) {
        if (whyNot)
            *whyNot = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)
                          ? "the Secret Service did not answer within " +
                                std::to_string(answerWithinMs / 1000) + "." +
                                std::to_string(answerWithinMs % 1000 / 100) + "s"
                          : (error ? error->message : "no Secret Service");
        if (error)
            g_error_free(error);
        return nullptr;
    }
    g_variant_unref(pong);
    SecretService* service = secret_service_get_sync(
        static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION | SECRET_SERVICE_LOAD_COLLECTIONS),
        nullptr, &error);
    if (!service) {
        if (whyNot)
            *whyNot = error ? error->message : "no Secret Service";
        if (error)
            g_error_free(error);
        return nullptr;
    }
    // Items are stored into the default collection: without one every save would fail, so the
    // private file is used instead. Reading the alias never prompts.
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, &error);
    if (!collection) {
        if (whyNot)
            *whyNot = error ? std::string("no default collection: ") + error->message
                            : std::string("the Secret Service has no default collection");
        if (error)
            g_error_free(error);
        g_object_unref(service);
        return nullptr;
    }
    g_object_unref(collection);
    auto owned = std::make_unique<Service>();
    owned->service = service;
    return std::shared_ptr<SecretServiceKeychainBackend>(new SecretServiceKeychainBackend(std::move(owned)));
}

std::int32_t SecretServiceKeychainBackend::failed(void* opaque) {
    auto* error = static_cast<GError*>(opaque);
    std::int32_t status = statusOf(error->code);
    messages_.remember(status, error->message);
    g_error_free(error);
    return status;
}

KeychainBackend::ReadResult SecretServiceKeychainBackend::copyMatching(const Query& query) {
    Attributes attributes(query);
    GError* error = nullptr;
    // Never SECRET_SEARCH_UNLOCK here: reading happens at start-up and before a lock, where an
    // unlock prompt would hold everything up. A locked item is reported as such, and read again
    // once its keyring has been unlocked.
    GList* items = secret_service_search_sync(service_->service, schema(), attributes.table,
                                              SECRET_SEARCH_LOAD_SECRETS, nullptr, &error);
    if (error)
        return {failed(error), std::nullopt};
    ReadResult result{itemNotFound, std::nullopt};
    if (items && secret_item_get_locked(SECRET_ITEM(items->data))) {
        messages_.remember(locked, "the keyring that holds the item is locked");
        result = {locked, std::nullopt};
    } else if (items) {
        SecretValue* value = secret_item_get_secret(SECRET_ITEM(items->data));
        if (value) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            result = {success, Bytes(bytes, bytes + length)};
            secret_value_unref(value);
        } else {
            result = {success, std::nullopt}; // found, but its secret could not be loaded
        }
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

std::int32_t SecretServiceKeychainBackend::update(const Query& query, const Bytes& data) {
    Attributes attributes(query);
    GError* error = nullptr;
    GList* items = secret_service_search_sync(service_->service, schema(), attributes.table,
                                              SECRET_SEARCH_UNLOCK, nullptr, &error);
    if (error)
        return failed(error);
    if (!items)
        return itemNotFound;
    SecretValue* value = valueOf(data);
    gboolean ok = secret_item_set_secret_sync(SECRET_ITEM(items->data), value, nullptr, &error);
    secret_value_unref(value);
    g_list_free_full(items, g_object_unref);
    if (!ok)
        return error ? failed(error) : -1;
    return success;
}

std::int32_t SecretServiceKeychainBackend::add(const Query& query, const Bytes& data,
                                               std::string_view label) {
    Attributes attributes(query);
    GError* error = nullptr;
    SecretValue* value = valueOf(data);
    const std::string labelText(label);
    gboolean ok =
        secret_service_store_sync(service_->service, schema(), attributes.table, SECRET_COLLECTION_DEFAULT,
                                  labelText.c_str(), value, nullptr, &error);
    secret_value_unref(value);
    if (!ok)
        return error ? failed(error) : -1;
    return success;
}

std::int32_t SecretServiceKeychainBackend::remove(const Query& query) {
    Attributes attributes(query);
    GError* error = nullptr;
    gboolean removed =
        secret_service_clear_sync(service_->service, schema(), attributes.table, nullptr, &error);
    if (error)
        return failed(error);
    return removed ? success : itemNotFound;
}

std::optional<std::string> SecretServiceKeychainBackend::errorMessage(std::int32_t status) const {
    return messages_.messageFor(status);
}

} // namespace tolva
