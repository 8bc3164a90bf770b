// Sign-in under guessing and load: waits after failures, challenge tickets
// tied to their e-mail, the bounded hashing pool, stored password forms and
// their upgrade, and the pruning of old rows.
#include "service/HashingPool.h"
#include "service/PasswordHash.h"
#include "service/SignInThrottle.h"
#include "service/tests/ServiceFixture.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <regex>

namespace korvid::test {

namespace {

const Json kDemo { { "email", "demo@korvid.cn" }, { "password", "korvid123" } };
const Json kSales { { "email", "sales2@korvid.cn" }, { "password", "korvid456" } };

Json withPassword(Json credentials, const std::string& password)
{
    credentials["password"] = password;
    return credentials;
}

class SignInTest : public ServiceTest {
protected:
    // The sum asked, answered, and the ticket returned; `email` binds it.
    std::string solveChallenge(const std::optional<std::string>& email)
    {
        Reply challenge = service->get("/auth/challenge", "");
        std::smatch numbers;
        std::string question = challenge.body["question"];
        EXPECT_TRUE(std::regex_search(question, numbers, std::regex("(\\d+) 加 (\\d+)")));
        Json answer { { "id", challenge.body["id"] },
            { "answer", std::to_string(std::stoi(numbers[1]) + std::stoi(numbers[2])) } };
        if (email)
            answer["email"] = *email;
        Reply solved = service->post("/auth/challenge", "", answer);
        EXPECT_EQ(solved.status, 200) << solved.raw;
        return solved.body.value("ticket", "");
    }

    Reply signIn(Json credentials, const std::optional<std::string>& ticket = std::nullopt)
    {
        if (ticket)
            credentials["ticket"] = *ticket;
        return service->post("/auth/sign-in", "", credentials);
    }

    std::unique_ptr<Database> openDatabase() { return std::make_unique<Database>(scratch->path() / "korvid.sqlite3"); }
};

std::string legacyDigest(const std::string& password, const std::string& salt)
{
    unsigned char digest[32];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
        reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), 20000, EVP_sha256(),
        sizeof digest, digest);
    std::string text;
    char pair[3];
    for (unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

// GET /v1/me every 10 ms for `duration`: how long each took, in ms.
std::vector<double> readMe(RunningService& service, const std::string& token, std::chrono::milliseconds duration)
{
    std::vector<double> latencies;
    auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(service.get("/v1/me", token).status, 200);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return latencies;
}

}

TEST_F(SignInTest, GuessingAnAccountWaitsLongerEachTimeWithoutSlowingOthers)
{
    // The failures the challenge already answers cost no wait.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(signIn(withPassword(kDemo, "guess" + std::to_string(i))).status, 401);
    // A solved challenge does not excuse the next failure from its wait.
    EXPECT_EQ(signIn(withPassword(kDemo, "guess3"), solveChallenge("demo@korvid.cn")).status, 401);

    Reply refused = signIn(kDemo, solveChallenge("demo@korvid.cn"));
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.code(), "too_many_attempts");
    EXPECT_EQ(refused.header("Retry-After"), "1");
    EXPECT_EQ(refused.message(), "登录尝试过于频繁，请 1 秒后再试。");
    // Refusing is immediate and used up nothing: not even the right
    // password gets in early, and the refusal is not counted as a failure.
    EXPECT_EQ(signIn(kDemo).status, 429);

    // The other account, from the same machine, is not held up.
    EXPECT_EQ(signIn(kSales).status, 200);

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(signIn(withPassword(kDemo, "guess5"), solveChallenge("demo@korvid.cn")).status, 401);
    Reply doubled = signIn(kDemo);
    EXPECT_EQ(doubled.status, 429);
    EXPECT_EQ(doubled.header("Retry-After"), "2");

    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(signIn(kDemo, solveChallenge("demo@korvid.cn")).status, 200);
    // The success cleared the account's count: a slip now is an ordinary 401,
    // and the right password after it needs neither a wait nor a challenge.
    EXPECT_EQ(signIn(withPassword(kDemo, "slip")).status, 401);
    EXPECT_EQ(signIn(kDemo).status, 200);
}

TEST_F(SignInTest, WaitsGrowToACapAndSurviveARestart)
{
    EXPECT_EQ(SignInThrottle::accountWaitMs(3), 0);
    EXPECT_EQ(SignInThrottle::accountWaitMs(4), 1000);
    EXPECT_EQ(SignInThrottle::accountWaitMs(7), 8000);
    EXPECT_EQ(SignInThrottle::accountWaitMs(40), SignInThrottle::kMaxAccountWaitMs);
    EXPECT_EQ(SignInThrottle::accountWaitMs(100000), SignInThrottle::kMaxAccountWaitMs);
    EXPECT_EQ(waitSentence(300000), "请 5 分钟后再试");
    EXPECT_EQ(waitSentence(61000), "请 2 分钟后再试");

    // The account's count is in the database: restarting the service is no way around it.
    {
        auto db = openDatabase();
        Statement write(*db, "INSERT INTO sign_in_failures (email, count, last_ms) VALUES (?, ?, ?)");
        write.bind(1, "demo@korvid.cn").bind(2, 12).bind(3, ServiceStore::nowMs()).run();
    }
    service.reset();
    service = std::make_unique<RunningService>(options(scratch->path()));
    Reply refused = signIn(kDemo);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.message(), "登录尝试过于频繁，请 5 分钟后再试。");
    EXPECT_EQ(signIn(kSales).status, 200);
}

TEST_F(SignInTest, OneConnectionGuessingManyAccountsIsSlowedAndSoIsTheWholeService)
{
    // A script spreading its guesses over many e-mails on one kept-alive
    // connection: each e-mail is fresh, the connection is not.
    httplib::Client script("127.0.0.1", service->port());
    script.set_keep_alive(true);
    auto guess = [&](int n) {
        Json body { { "email", "user" + std::to_string(n) + "@example.com" }, { "password", "x" } };
        auto result = script.Post("/auth/sign-in", body.dump(), "application/json");
        return result ? result->status : 0;
    };
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(guess(n), 401);
    EXPECT_EQ(guess(3), 401);
    EXPECT_EQ(guess(4), 429);
    // Another client is not held up by that connection.
    EXPECT_EQ(signIn(kSales).status, 200);

    // Fresh connections for every guess: past a burst, the whole service waits.
    int refusedAt = -1;
    for (int n = 100; n < 100 + SignInThrottle::kServiceBurst + 5 && refusedAt < 0; ++n) {
        Reply reply = signIn(Json { { "email", "user" + std::to_string(n) + "@example.com" }, { "password", "x" } });
        if (reply.status == 429)
            refusedAt = n - 100;
        else
            EXPECT_EQ(reply.status, 401);
    }
    // The burst less the five failures above (and a refill of at most one).
    EXPECT_GE(refusedAt, SignInThrottle::kServiceBurst - 5);
    EXPECT_LE(refusedAt, SignInThrottle::kServiceBurst - 3);
    Reply everyone = signIn(kSales);
    EXPECT_EQ(everyone.status, 429);
    EXPECT_LE(std::stoi(everyone.header("Retry-After")), 3);
}

TEST_F(SignInTest, AfterFailuresParallelAttemptsOnOneAccountAreCheckedOneAtATime)
{
    // Hashing at the shipped cost, so that attempts overlap; an unknown
    // e-mail is hashed against a decoy at that cost.
    service.reset();
    ServiceOptions slow = options(scratch->path());
    slow.config.passwordCost = PasswordCost {};
    service = std::make_unique<RunningService>(slow);
    {
        auto db = openDatabase();
        Statement write(*db, "INSERT INTO sign_in_failures (email, count, last_ms) VALUES (?, 3, ?)");
        write.bind(1, "nobody@example.com").bind(2, ServiceStore::nowMs() - 60 * 1000).run();
    }
    // A script that solved a check for each of its guesses and sends them at once.
    std::vector<std::string> tickets;
    for (int i = 0; i < 6; ++i)
        tickets.push_back(solveChallenge("nobody@example.com"));
    std::latch go(1);
    std::vector<int> statuses(tickets.size());
    std::vector<std::thread> guesses;
    for (std::size_t i = 0; i < tickets.size(); ++i) {
        guesses.emplace_back([&, i] {
            go.wait();
            statuses[i] = signIn(
                Json { { "email", "nobody@example.com" }, { "password", "guess" + std::to_string(i) } }, tickets[i])
                              .status;
        });
    }
    go.count_down();
    for (auto& guess : guesses)
        guess.join();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 401), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 429), 5);
    // The place is given back: once the wait is over the account is tried again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(signIn(Json { { "email", "nobody@example.com" }, { "password", "again" } },
                  solveChallenge("nobody@example.com"))
                  .status,
        401);
}

TEST_F(SignInTest, ATicketIsGoodOnlyForTheEmailItWasSolvedFor)
{
    for (const Json& account : { kDemo, kSales })
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(signIn(withPassword(account, "wrong")).status, 401);

    std::string forSales = solveChallenge("SALES2@korvid.cn");
    Reply refused = signIn(kDemo, forSales);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.code(), "challenge_required");
    // Refused for the wrong e-mail, it is still good for its own (letter case aside).
    EXPECT_EQ(signIn(kSales, forSales).status, 200);
    EXPECT_EQ(signIn(kDemo, solveChallenge("demo@korvid.cn")).status, 200);
}

TEST_F(SignInTest, EarlierPasswordFormsSignInAndAreStoredAgainAtTheCurrentCost)
{
    auto db = openDatabase();
    auto storedFor = [&](const std::string& email) {
        Statement query(*db, "SELECT salt, password_hash FROM accounts WHERE email = ?");
        query.bind(1, email);
        EXPECT_TRUE(query.step());
        return StoredPassword { query.text(0), query.text(1) };
    };
    auto store = [&](const std::string& email, const StoredPassword& stored) {
        Statement write(*db, "UPDATE accounts SET salt = ?, password_hash = ? WHERE email = ?");
        write.bind(1, stored.salt).bind(2, stored.digest).bind(3, email).run();
    };
    // What earlier versions wrote: PBKDF2-SHA256, 20,000 iterations, hex salt.
    std::string salt = "8d0c5a1f3e2b4a6978c1d2e3f4a5b6c7";
    store("sales2@korvid.cn", StoredPassword { salt, legacyDigest("korvid456", salt) });
    // An Argon2id form cheaper than the service's current cost.
    PasswordCost cheaper = PasswordCost::forTests();
    cheaper.memoryKiB /= 2;
    store("demo@korvid.cn", PasswordHash::make("korvid123", cheaper));

    EXPECT_EQ(signIn(withPassword(kSales, "korvid457")).status, 401);
    EXPECT_EQ(storedFor("sales2@korvid.cn").salt, salt);

    for (const Json& account : { kSales, kDemo }) {
        std::string email = account["email"];
        ASSERT_EQ(signIn(account).status, 200) << email;
        StoredPassword upgraded = storedFor(email);
        EXPECT_EQ(upgraded.salt.rfind("argon2id$m=64,t=1,p=1$", 0), 0u) << upgraded.salt;
        EXPECT_EQ(upgraded.digest.size(), 64u);
        EXPECT_FALSE(PasswordHash::outdated(upgraded, PasswordCost::forTests()));
        EXPECT_TRUE(PasswordHash::matches(account["password"], upgraded));
        EXPECT_FALSE(PasswordHash::matches("korvid", upgraded));
        // And the new form signs in.
        EXPECT_EQ(signIn(account).status, 200) << email;
        EXPECT_EQ(storedFor(email).digest, upgraded.digest);
    }
}

TEST(PasswordHashTest, TheShippedCostIsCurrentGuidanceAndDamagedFormsNeverMatch)
{
    PasswordCost shipped;
    EXPECT_GE(shipped.memoryKiB, 19u * 1024);
    EXPECT_GE(shipped.passes, 2u);
    StoredPassword stored = PasswordHash::make("密码 with spaces", PasswordCost::forTests());
    EXPECT_TRUE(PasswordHash::matches("密码 with spaces", stored));
    EXPECT_TRUE(PasswordHash::outdated(stored, shipped));
    // Same password, fresh salt: a different digest.
    EXPECT_NE(PasswordHash::make("密码 with spaces", PasswordCost::forTests()).digest, stored.digest);

    for (const char* salt :
        { "argon2id$m=64,t=1,p=1$short", "argon2id$m=99999999,t=1,p=1$0123456789abcdef0123456789abcdef",
            "argon2id$m=64,t=0,p=1$0123456789abcdef0123456789abcdef",
            "argon2id$m=64,t=1,p=4$0123456789abcdef0123456789abcdef",
            "argon2i$m=64,t=1,p=1$0123456789abcdef0123456789abcdef", "$", "" }) {
        EXPECT_FALSE(PasswordHash::matches("x", StoredPassword { salt, std::string(64, '0') })) << salt;
        EXPECT_TRUE(PasswordHash::outdated(StoredPassword { salt, std::string(64, '0') }, shipped)) << salt;
    }
}

TEST_F(SignInTest, RunOutSessionsAndFailuresArePrunedAndEachAccountKeepsItsNewestSessions)
{
    auto db = openDatabase();
    std::int64_t now = ServiceStore::nowMs();
    {
        Statement session(*db, "INSERT INTO sessions (token_hash, account_id, expires_ms) VALUES (?, ?, ?)");
        for (int i = 0; i < 150; ++i) {
            // 30 long expired, the rest live for a while yet.
            session.bind(1, "old" + std::to_string(i))
                .bind(2, kDemoID)
                .bind(3, i < 30 ? now - 1000 * (i + 1) : now + 3600 * 1000 + i)
                .run();
            session.reset();
        }
        Statement failure(*db, "INSERT INTO sign_in_failures (email, count, last_ms) VALUES (?, 1, ?)");
        failure.bind(1, "stale@example.com").bind(2, now - 16 * 60 * 1000).run();
    }
    auto count = [&](const std::string& sql) {
        Statement query(*db, sql);
        query.step();
        return query.integer(0);
    };

    Reply signedIn = signIn(kDemo);
    ASSERT_EQ(signedIn.status, 200);
    std::string newest = signedIn.body["token"];
    EXPECT_EQ(count("SELECT count(*) FROM sessions WHERE expires_ms <= strftime('%s','now') * 1000"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM sign_in_failures"), 0);
    EXPECT_EQ(
        count("SELECT count(*) FROM sessions WHERE account_id = '" + kDemoID + "'"), Accounts::kMaxSessionsPerAccount);
    EXPECT_EQ(service->get("/v1/me", newest).status, 200);
    // The fixture's own session was the oldest live one; the newest are kept.
    EXPECT_EQ(count("SELECT count(*) FROM sessions WHERE token_hash = 'old149'"), 1);
    EXPECT_EQ(count("SELECT count(*) FROM sessions WHERE token_hash = 'old30'"), 0);

    // Signing out removes the row rather than leaving it to run out.
    EXPECT_EQ(service->send("POST", "/v1/sign-out", newest).status, 200);
    EXPECT_EQ(count("SELECT count(*) FROM sessions WHERE account_id = '" + kDemoID + "'"),
        Accounts::kMaxSessionsPerAccount - 1);
    EXPECT_EQ(service->get("/v1/me", newest).status, 401);
}

TEST(HashingPoolTest, AFullQueueIsRefusedAtOnceAndAcceptedWorkAlwaysFinishes)
{
    auto pool = std::make_unique<HashingPool>(1, 1);
    std::latch started(1), release(1);
    std::atomic<int> finished = 0;
    std::thread busy([&] {
        pool->run([&] {
            started.count_down();
            release.wait();
            return ++finished;
        });
    });
    started.wait();
    std::thread waiting([&] { pool->run([&] { return ++finished; }); });
    while (pool->waiting() < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    try {
        pool->run([] { return 0; });
        ADD_FAILURE() << "a job was queued past the limit";
    } catch (const ApiError& error) {
        EXPECT_EQ(error.status, 503);
        EXPECT_EQ(error.message, "正在登录的人太多，请稍等几秒再试。");
    }
    release.count_down();
    busy.join();
    waiting.join();
    EXPECT_EQ(finished, 2);
    EXPECT_THROW(pool->run([]() -> int { throw ApiError(500, "internal", "坏了"); }), ApiError);
    pool.reset();
}

TEST(SignInLoadTest, AFloodOfSignInsLeavesOtherRequestsQuick)
{
    ScratchFolder folder;
    ServiceOptions options = ServiceTest::options(folder.path());
    // The shipped cost: the point is what real hashing does to everyone else.
    options.config.passwordCost = PasswordCost {};
    RunningService service(options);
    std::string token = service.signIn();

    // The machine's own delays, measured first. With hashing under the
    // store's lock the typical request waited behind the hashes; now the
    // flood may add little to the typical one and only a bounded stall to
    // the slowest (the suite runs beside other tests on a small machine).
    std::vector<double> before = readMe(service, token, std::chrono::milliseconds(1500));
    double alone = percentile(before, 0.99), aloneMedian = percentile(before, 0.5);

    std::atomic<bool> stop = false;
    std::atomic<int> accepted = 0, busy = 0, other = 0;
    std::vector<std::thread> flood;
    for (int i = 0; i < 8; ++i) {
        flood.emplace_back([&] {
            while (!stop) {
                Reply reply = service.post("/auth/sign-in", "", kSales);
                if (reply.status == 200)
                    ++accepted;
                else if (reply.status == 503 && reply.code() == "busy" && reply.header("Retry-After") == "1")
                    ++busy;
                else
                    ++other;
            }
        });
    }
    std::vector<double> latencies = readMe(service, token, std::chrono::seconds(3));
    stop = true;
    for (auto& thread : flood)
        thread.join();

    EXPECT_GT(accepted, 0);
    EXPECT_EQ(other, 0);
    ASSERT_GE(latencies.size(), 50u);
    EXPECT_LT(percentile(latencies, 0.5), 10.0 + aloneMedian) << "alone median " << aloneMedian << " ms";
    EXPECT_LT(percentile(latencies, 0.99), 150.0 + alone)
        << "alone " << alone << " ms; median " << percentile(latencies, 0.5) << " ms, " << accepted << " sign-ins, "
        << busy << " told to retry";
}

}
