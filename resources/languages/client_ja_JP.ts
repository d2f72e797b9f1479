<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>FirmwareManage</name>
    <message>
        <source>Brivane data backup</source>
        <translation>データバックアップ</translation>
    </message>
    <message>
        <source>Brivane data restore</source>
        <translation>データ復元</translation>
    </message>
    <message>
        <source>The device is connecting...</source>
        <translation>接続中...</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>デバイスが接続されていないか、説明どおりにアップグレードモードに入っていません</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>The firmware entry of the catalogue is not valid!</source>
        <translation>カタログのファームウェア項目が無効です！</translation>
    </message>
    <message>
        <source>The firmware could not be downloaded!</source>
        <translation>ファームウェアをダウンロードできませんでした！</translation>
    </message>
    <message>
        <source>The downloaded firmware is damaged!</source>
        <translation>ダウンロードしたファームウェアが破損しています！</translation>
    </message>
    <message>
        <source>The firmware could not be saved!</source>
        <translation>ファームウェアを保存できませんでした！</translation>
    </message>
    <message>
        <source>The firmware catalogue could not be read!</source>
        <translation>ファームウェアカタログを読み取れませんでした！</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>ファームウェアのバージョンが無効です！</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</source>
        <translation>アダプターは見つかりましたが、開けません：%1 へのアクセス権限がありません。このコンピューターの利用者にアダプターへのアクセスを許可する udev ルールを含むパッケージ %2 をインストールしてから、アダプターを接続し直してください。</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</source>
        <translation>アダプターは見つかりましたが、開けません：udev ルール %2 はインストールされていますが、%1 へのアクセス権限がありません。このルールは、このコンピューターの画面とキーボードの前にいる利用者にだけアクセスを許可します。それがあなたであれば、「%3」を実行してから、アダプターを接続し直してください。</translation>
    </message>
</context>
<context>
    <name>FirmwareUpgrader</name>
    <message>
        <source>Firmware lost</source>
        <translation>ファームウェアがありません！ファームウェアを更新してください！</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Restore Default</source>
        <translation>工場出荷時の状態に戻す</translation>
    </message>
    <message>
        <source>SN: </source>
        <translation>シリアル番号：</translation>
    </message>
    <message>
        <source>The data will be erased and then restore default!</source>
        <translation>データを消去して初期化します！</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>ファームウェア更新</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>Boot Mode</source>
        <translation>起動モード</translation>
    </message>
    <message>
        <source>Data Backup</source>
        <translation>データバックアップ</translation>
    </message>
    <message>
        <source>Data Restore</source>
        <translation>データ復元</translation>
    </message>
    <message>
        <source>LOCAL</source>
        <translation>ローカル</translation>
    </message>
    <message>
        <source>New Version</source>
        <translation>新しいバージョン</translation>
    </message>
    <message>
        <source>OTA</source>
        <translation>OTA</translation>
    </message>
</context>
<context>
    <name>GuideStart</name>
    <message>
        <source>Connect Brivane T5 to PC while holding the button.
Release the button until the LED indicator is stable green.</source>
        <translation>1. ボタンを押しながら Brivane T5 をPCに接続します。
2. LED が緑色に点灯したら、ボタンを離します。</translation>
    </message>
    <message>
        <source>Connect Brivane M7 to PC while holding the button
Release the button until the LED indicator is stable green.</source>
        <translation>1. ボタンを押しながら Brivane M7 をPCに接続します。
2. LED が緑色に点灯したら、ボタンを離します。</translation>
    </message>
    <message>
        <source>Connect Brivane K3 to PC auto into upgrade mode.</source>
        <translation>Brivane K3 をPCに接続すると、自動的にアップグレードモードになります。</translation>
    </message>
    <message>
        <source>Quick start guide</source>
        <translation>クイックスタートガイド</translation>
    </message>
    <message>
        <source>Select product</source>
        <translation>製品を選択</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>次へ</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>更新エラー！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>更新に成功しました！</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>無効なファイルです！</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>無効なファイルです！</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>更新エラー！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>更新に成功しました！</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>ファイルの MD5 チェックエラー！</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>無効なファイルです！</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>無効なファイルです！</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>Japanese</source>
        <translation>日本語</translation>
    </message>
    <message>
        <source>Russian</source>
        <translation>русский</translation>
    </message>
    <message>
        <source>French</source>
        <translation>Français</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>戻る</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brivane Firmware is already running!</source>
        <translation>Brivane Firmware Tool はすでに起動しています！</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>無効なファイルです！</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>無効なファイルです！</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>データバックアップエラー！</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>消去エラー！</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>データ復元エラー！</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>書き込み検証エラー！</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>書き込みエラー！</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>ファームウェアがありません！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>アダプターの設定を読み取れませんでした！</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>ファームウェアがアダプターに対して大きすぎます！</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>バックアップファイルが空か、読み取れません！</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>先にアダプターをファームウェア 5.5.0 以降に更新してください！</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>バックアップファイルのデータが破損しています！</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>アダプターを完全に読み取れませんでした！</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>別のアダプターが接続されました。アダプターを確認して、もう一度お試しください！</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>このファイルはこのアダプターのファームウェアではありません！</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>ファームウェアのバージョンが無効です！</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>設定をこのコンピューターに保存できませんでした。何も書き込まれていません！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were restored from the copy saved on %1.</source>
        <translation>%1 に保存したコピーからアダプターの設定を復元しました。</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</source>
        <translation>アダプターの設定が破損しています。次回の更新で %1 に保存したコピーが書き戻されます。</translation>
    </message>
    <message>
        <source>No saved settings of this adapter were found!</source>
        <translation>このアダプターの保存された設定が見つかりません！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>アダプターの設定が失われたため、工場出荷時の設定を書き込みました。</translation>
    </message>
</context>
</TS>
