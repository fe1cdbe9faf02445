#include "checks/servermessages.h"
#include "cryptoclient/tcpsocket.h"

#include <gtest/gtest.h>

using namespace Talvek;

TEST(ServerErrorText, KnownStatusesAndTheRestByNumber) {
    EXPECT_EQ(serverErrorText(100), "Сообщение сервера:\n\nУ вас нет прав для администрирования");
    EXPECT_EQ(serverErrorText(102), "Сообщение сервера:\n\nОшибка открытия запрашиваемой базы");
    EXPECT_EQ(serverErrorText(103),
              "Сообщение сервера:\n\nНе найден интерфейс, или для него не была определена база "
              "ключей");
    EXPECT_EQ(serverErrorText(105), "Сообщение сервера:\n\nОшибка перезаписи базы ключей");
    EXPECT_EQ(serverErrorText(106),
              "Сообщение сервера:\n\nОшибка кодирования данных для администратора");
    EXPECT_EQ(serverErrorText(107),
              "Сообщение сервера:\n\nОшибка декодирования данных от администратора");
    EXPECT_EQ(serverErrorText(101), "Сообщение сервера:\n\nОшибка 101");
    EXPECT_EQ(serverErrorText(104), "Сообщение сервера:\n\nОшибка 104");
}

TEST(ExchangeMessage, EachFaultHasItsWords) {
    CryptoServerParams params;
    params.localFile = "/keys/main.key_base";
    ExchangeResult r;
    r.code = ServerCode::FetchKeyBase;
    EXPECT_EQ(exchangeMessage(r, params), "База ключей сервера сохранена как\n\"/keys/main.key_base\"");
    r.code = ServerCode::ListInterfaces;
    EXPECT_EQ(exchangeMessage(r, params), "");
    r.fault = ExchangeFault::Connect;
    r.socketCode = SocketCode::ConnectionRefused;
    EXPECT_EQ(exchangeMessage(r, params), "Ошибка соединения: Connection refused !");
    r.fault = ExchangeFault::ServerRefused;
    r.status = 0xFFFFFFFFu;
    EXPECT_EQ(exchangeMessage(r, params), "Сервер сообщил об ошибке:\nСообщение сервера:\n\nОшибка -1!");
}
